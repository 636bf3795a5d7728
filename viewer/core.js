
  // ---- the viewer --------------------------------------------------------------------------

  var VERTEX_SHADER =
      "attribute vec3 position; attribute vec2 texcoord; uniform mat4 matrix;\n" +
      "varying vec2 uv;\n" +
      "void main() { uv = texcoord; gl_Position = matrix * vec4(position, 1.0); }\n";
  var FRAGMENT_SHADER =
      "precision mediump float; varying vec2 uv; uniform sampler2D picture; uniform float alpha;\n" +
      "void main() { vec4 c = texture2D(picture, uv);\n" +
      "  gl_FragColor = vec4(c.rgb, c.a * alpha); }\n";

  var STYLE =
      ".qv-root{position:relative;width:100%;height:100%;overflow:hidden;background:#000;" +
      "touch-action:none;user-select:none;-webkit-user-select:none}" +
      ".qv-root [hidden]{display:none!important}" +
      ".qv-root canvas{display:block;width:100%;height:100%;outline:none;cursor:grab}" +
      ".qv-root canvas:focus-visible{box-shadow:inset 0 0 0 3px #4af}" +
      ".qv-root canvas.qv-dragging{cursor:grabbing}" +
      ".qv-message{position:absolute;left:50%;top:50%;transform:translate(-50%,-50%);" +
      "max-width:80%;padding:16px 20px;background:rgba(0,0,0,.75);color:#fff;" +
      "font:15px/1.4 sans-serif;border:1px solid #888;border-radius:6px;text-align:center}" +
      ".qv-notice{position:absolute;left:50%;top:8px;transform:translateX(-50%);max-width:80%;" +
      "padding:6px 12px;background:rgba(0,0,0,.7);color:#fff;font:13px sans-serif;" +
      "border-radius:4px}" +
      ".qv-loading{position:absolute;right:10px;top:10px;width:18px;height:18px;" +
      "border:3px solid rgba(255,255,255,.3);border-top-color:#fff;border-radius:50%;" +
      "animation:qv-spin 1s linear infinite;pointer-events:none}" +
      "@keyframes qv-spin{to{transform:rotate(360deg)}}" +
      ".qv-scenes{position:absolute;left:8px;bottom:8px;display:flex;gap:6px;flex-wrap:wrap;" +
      "max-width:calc(100% - 16px)}" +
      ".qv-scenes button{display:flex;flex-direction:column;align-items:center;gap:3px;" +
      "padding:4px;background:rgba(0,0,0,.6);color:#fff;border:1px solid #777;" +
      "border-radius:4px;font:12px sans-serif;cursor:pointer}" +
      ".qv-scenes button.qv-active{border-color:#fff;background:rgba(40,40,40,.85)}" +
      ".qv-scenes img{width:64px;height:64px;object-fit:cover}" +
      ".qv-controls{position:absolute;right:8px;bottom:8px;display:flex;flex-direction:column;" +
      "gap:6px}" +
      ".qv-controls button,.qv-hotspot{min-width:36px;height:36px;padding:0 8px;" +
      "background:rgba(0,0,0,.6);color:#fff;border:1px solid #999;border-radius:4px;" +
      "font:bold 18px sans-serif;cursor:pointer}" +
      ".qv-controls button[aria-pressed=true]{background:rgba(40,110,200,.85)}" +
      ".qv-root button:focus-visible,.qv-root a:focus-visible{outline:3px solid #4af;" +
      "outline-offset:2px}" +
      ".qv-compass{position:absolute;left:10px;top:10px;width:40px;height:40px;" +
      "border-radius:50%;background:rgba(0,0,0,.55);border:1px solid #999;color:#fff;" +
      "font:bold 12px sans-serif;pointer-events:none}" +
      ".qv-compass span{position:absolute;left:0;top:0;width:40px;height:40px;" +
      "text-align:center;line-height:16px}" +
      ".qv-hotspots{position:absolute;left:0;top:0;width:0;height:0}" +
      ".qv-hotspot{position:absolute;transform:translate(-50%,-50%);border-radius:18px;" +
      "font-size:15px;display:flex;align-items:center;justify-content:center;" +
      "text-decoration:none;white-space:nowrap}" +
      ".qv-hotspot-text{position:absolute;left:50%;top:24px;transform:translateX(-50%);" +
      "width:220px;padding:8px;background:rgba(0,0,0,.8);color:#fff;font:13px/1.4 sans-serif;" +
      "border-radius:4px;white-space:normal;text-align:left}" +
      ".qv-hotspot-text b{display:block;margin-bottom:4px}";

  function installStyle() {
    if (document.getElementById("qv-style")) return;
    var style = document.createElement("style");
    style.id = "qv-style";
    style.textContent = STYLE;
    document.head.appendChild(style);
  }

  // The page's URL parameters: h (or hlookat), v (or vlookat), fov, scene, and the switches
  // controls, zoom, fullscreen, gyroscope, compass and autorotate (0 or false turns one off, 1 or
  // true on).
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
    view.switches = {};
    ["controls", "zoom", "fullscreen", "gyroscope", "compass", "autorotate"].forEach(function (key) {
      var value = params.get(key);
      if (value === null) return;
      value = value.trim().toLowerCase();
      view.switches[key] = value === "0" || value === "false" || value === "off" ? "false" : "true";
    });
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
    this.xmlUrl = options.xml || "tour.xml";
    this.xmlAddress = resolveUrl(this.xmlUrl, global.location.href);
    this.query = queryView();
    this.scenes = [];
    this.scene = null;
    this.store = new TextureStore((options.cacheMegabytes || CACHE_MEGABYTES) * 1048576);
    this.loading = 0;
    this.uploadQueue = [];
    this.mipmapQueue = [];
    this.counters = {uploads: 0, decodes: 0, requests: 0, retries: 0, blank: 0, restores: 0};
    this.failedTiles = {};
    this.requestedLevels = {};
    this.keys = {};
    this.frameRequested = false;
    this.lastTime = 0;
    this.lastInput = 0;
    this.inertia = null;
    this.leaving = null;
    this.drewPicture = false;

    this.canvas = document.createElement("canvas");
    this.canvas.tabIndex = 0;
    this.canvas.setAttribute("role", "application");
    this.canvas.setAttribute("aria-roledescription", "panorama");
    this.canvas.setAttribute("aria-label", format(MESSAGES.canvasLabel, ""));
    this.root.appendChild(this.canvas);
    this.loadingElement = document.createElement("div");
    this.loadingElement.className = "qv-loading";
    this.loadingElement.setAttribute("role", "status");
    this.loadingElement.setAttribute("aria-label", MESSAGES.loading);
    this.root.appendChild(this.loadingElement);
    // The tour file is asked for first; the graphics context is made and drawn once while it
    // comes, so that the first picture does not wait for that setup.
    var tour = this.fetchTour();
    if (!this.createContext()) {
      tour.catch(function () { /* no use without a context */ });
      this.canvas.remove();
      this.fail(MESSAGES.noWebgl);
      return;
    }
    this.resize();
    this.firstDraw();
    this.bindInput();
    this.loadTour(tour);
  }

  Viewer.prototype.fail = function (text) {
    var box = document.createElement("div");
    box.className = "qv-message";
    box.textContent = text;
    this.root.appendChild(box);
    this.showLoading(false);
    this.setStatus({state: "error", error: text});
  };

  // A short line over the panorama (a scene that does not exist, tiles that cannot be loaded).
  Viewer.prototype.notice = function (text) {
    if (!this.noticeElement) {
      this.noticeElement = document.createElement("div");
      this.noticeElement.className = "qv-notice";
      this.noticeElement.setAttribute("role", "status");
      this.root.appendChild(this.noticeElement);
    }
    this.noticeElement.textContent = text;
    this.noticeElement.hidden = !text;
    this.setStatus({notice: text});
  };

  // Shows or hides the loading indicator; the element is touched only when that changes (a
  // change restyles the page and starts or stops the indicator's animation).
  Viewer.prototype.showLoading = function (on) {
    if (!this.loadingElement || this.loadingElement.hidden === !on) return;
    this.loadingElement.hidden = !on;
    this.counters.indicator = (this.counters.indicator || 0) + (on ? 1 : 0);
  };

  // The indicator follows whether the view still waits for its preview or tiles: from the start
  // until the first view is complete, and later only once a view stays incomplete for
  // LOADING_DELAY (a drag or a turn that reaches tiles arriving within moments shows none).
  Viewer.prototype.followLoading = function (complete) {
    var self = this;
    if (complete) {
      this.incompleteSince = 0;
      this.wasComplete = true;
      this.showLoading(false);
      return;
    }
    var now = performance.now();
    if (!this.incompleteSince) {
      this.incompleteSince = now;
      if (this.wasComplete) setTimeout(function () { self.requestFrame(); }, LOADING_DELAY + 10);
    }
    this.showLoading(!this.wasComplete || now - this.incompleteSince >= LOADING_DELAY);
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
