  // ---- the viewer --------------------------------------------------------------------------

  var VERTEX_SHADER =
      "attribute vec3 position; attribute vec2 texcoord; uniform mat4 matrix;\n" +
      "varying vec2 uv;\n" +
      "void main() { uv = texcoord; gl_Position = matrix * vec4(position, 1.0); }\n";
  var FRAGMENT_SHADER =
      "precision mediump float; varying vec2 uv; uniform sampler2D picture;\n" +
      "void main() { gl_FragColor = texture2D(picture, uv); }\n";

  var STYLE =
      ".qv-root{position:relative;width:100%;height:100%;overflow:hidden;background:#000;" +
      "touch-action:none;user-select:none;-webkit-user-select:none}" +
      ".qv-root canvas{display:block;width:100%;height:100%;outline:none;cursor:grab}" +
      ".qv-root canvas.qv-dragging{cursor:grabbing}" +
      ".qv-message{position:absolute;left:50%;top:50%;transform:translate(-50%,-50%);" +
      "max-width:80%;padding:16px 20px;background:rgba(0,0,0,.75);color:#fff;" +
      "font:15px/1.4 sans-serif;border:1px solid #888;border-radius:6px;text-align:center}" +
      ".qv-scenes{position:absolute;left:8px;bottom:8px;display:flex;gap:6px;flex-wrap:wrap;" +
      "max-width:calc(100% - 16px)}" +
      ".qv-scenes button{display:flex;flex-direction:column;align-items:center;gap:3px;" +
      "padding:4px;background:rgba(0,0,0,.6);color:#fff;border:1px solid #777;" +
      "border-radius:4px;font:12px sans-serif;cursor:pointer}" +
      ".qv-scenes button.qv-active{border-color:#fff;background:rgba(40,40,40,.85)}" +
      ".qv-scenes img{width:64px;height:64px;object-fit:cover}";

  function installStyle() {
    if (document.getElementById("qv-style")) return;
    var style = document.createElement("style");
    style.id = "qv-style";
    style.textContent = STYLE;
    document.head.appendChild(style);
  }

  function queryView() {
    var params = new URLSearchParams(global.location.search), view = {};
    function read(keys, name) {
      for (var i = 0; i < keys.length; i++) {
        var value = parseFloat(params.get(keys[i]));
        if (isFinite(value)) { view[name] = value; return; }
      }
    }
    read(["h", "hlookat"], "hlookat");
    read(["v", "vlookat"], "vlookat");
    read(["fov"], "fov");
    view.scene = params.get("scene");
    return view;
  }

  function Viewer(options) {
    var target = typeof options.target === "string" ?
        document.getElementById(options.target) : options.target;
    if (!target) throw new Error(format(MESSAGES.noTarget, options.target));
    installStyle();
    this.root = document.createElement("div");
    this.root.className = "qv-root";
    target.appendChild(this.root);
    this.statusElement = document.createElement("div");
    this.statusElement.className = "qv-status";
    this.statusElement.id = (target.id || "qorvelviewer") + "-status";
    this.statusElement.hidden = true;
    this.root.appendChild(this.statusElement);
    this.status = {state: "loading"};
    this.xmlUrl = resolveUrl(options.xml || "tour.xml", global.location.href);
    this.query = queryView();
    this.scenes = [];
    this.scene = null;
    this.tiles = new Map();
    this.loading = 0;
    this.requestedLevels = {};
    this.keys = {};
    this.frameRequested = false;
    this.lastTime = 0;
    this.inertia = null;

    this.canvas = document.createElement("canvas");
    this.canvas.tabIndex = 0;
    this.root.appendChild(this.canvas);
    var gl = null;
    try {
      var attributes = {alpha: false, antialias: false, depth: false, premultipliedAlpha: false,
                        preserveDrawingBuffer: false};
      gl = this.canvas.getContext("webgl", attributes) ||
           this.canvas.getContext("experimental-webgl", attributes);
    } catch (e) { gl = null; }
    if (!gl || !this.initGl(gl)) {
      this.canvas.remove();
      this.fail(MESSAGES.noWebgl);
      return;
    }
    this.bindInput();
    this.loadTour();
  }

  Viewer.prototype.fail = function (text) {
    var box = document.createElement("div");
    box.className = "qv-message";
    box.textContent = text;
    this.root.appendChild(box);
    this.setStatus({state: "error", error: text});
  };

  // Updates the status element; it is written every frame, so only what changed is touched.
  Viewer.prototype.setStatus = function (values) {
    var element = this.statusElement, changed = false;
    for (var key in values) {
      var text = String(values[key]);
      if (this.status[key] === text && element.hasAttribute("data-" + key)) continue;
      this.status[key] = text;
      element.setAttribute("data-" + key, text);
      changed = true;
    }
    if (!changed) return;
    var lines = [];
    for (key in this.status) lines.push(key + "=" + this.status[key]);
    element.textContent = lines.join(" ");
  };

