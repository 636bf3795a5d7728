/* qorveltools viewer: shows a tour written by makepano in the browser with WebGL.
 *
 * One plain script without dependencies or build step. The tour's page loads it and calls
 *
 *   qorvelviewer({xml: "pano.xml", target: "pano"});
 *
 * The viewer reads that XML, shows the blurred preview at once and then the tiles of the level
 * whose resolution fits the screen at the current zoom. Only the tiles in view are loaded (the
 * nearest to the centre first, a few at a time); tiles that leave the view are freed. Tiles of
 * coarser levels that are already there stay under the finer ones while those arrive.
 *
 * What it reads (element and attribute names in any case):
 *   - the root element, or several <scene name title thumburl> elements in it (one XML with
 *     several scenes gets a scene list);
 *   - <view hlookat vlookat fov fovmin fovmax limitview hlookatmin hlookatmax vlookatmin
 *     vlookatmax>; limitview is "auto" (the default: partial images keep the view inside the
 *     image), "range" (the lookat limits) or "off";
 *   - <preview url type>: a cube strip of six faces (left, front, right, back, up, down; 1:6 or
 *     6:1), or a spherical (2:1) image, or an image of the panorama's own shape;
 *   - <image type hfov vfov voffset multires tilesize baseindex stereo stereolabels frame
 *     prealign> with <level tiledimagewidth tiledimageheight> children, or without levels (one
 *     image per face), and inside them <cube url> (side placeholder %s), <left>, <front>,
 *     <right>, <back>, <up>, <down>, <sphere url>, <cylinder url> or <flat url>.
 * Tile url placeholders: %s cube side (l f r b u d), %t stereo label (the first eye is shown),
 * %v/%y/%r tile row, %h/%x/%u/%c tile column, %l level number (1 = smallest), %f frame; zeros
 * after the % pad the number (%0v gives 01). Tile numbers start at baseindex (default 1). Urls
 * are relative to the XML file.
 *
 * Angles are degrees. hlookat grows to the right, vlookat grows downward (-90 looks straight
 * up), fov is the field of view across the longer side of the window, voffset is the latitude of
 * the image centre (positive above the horizon), prealign is "pitch|heading|roll". Space: x to
 * the right of the front view, y up, z backwards; the front view looks along -z.
 *
 * URL parameters of the page: h (or hlookat), v (or vlookat), fov, scene (name or number).
 * Controls: drag (mouse or one finger), wheel or pinch to zoom, arrow keys, + and -.
 * The viewer keeps a hidden status element (class "qv-status") whose data attributes tell what
 * it shows and loads (state loading, ready or error; level; tiles kept, as level/side/row/column
 * from 0); tests read it. qorvelviewer.viewers lists the page's viewers (setView, loadScene).
 */
(function (global) {
  "use strict";

  var MESSAGES = {
    noWebgl: "This browser cannot show the panorama: WebGL is not available.",
    xmlFailed: "The tour file \"%s\" cannot be read: %s",
    noImage: "The tour file \"%s\" contains no panorama image.",
    noTarget: "qorvelviewer: no element with the id \"%s\" in the page."
  };

  var SIDE_LETTERS = ["l", "f", "r", "b", "u", "d"];
  var SIDE_NAMES = ["left", "front", "right", "back", "up", "down"];
  var DEG = Math.PI / 180;

  // Cube faces of half-size 1: the corner at the top-left of the face image and the edges along
  // which the image's columns (s) and rows (t) grow, in side order l f r b u d.
  var CUBE_FACES = [
    {corner: [-1, 1, 1], s: [0, 0, -2], t: [0, -2, 0]},
    {corner: [-1, 1, -1], s: [2, 0, 0], t: [0, -2, 0]},
    {corner: [1, 1, -1], s: [0, 0, 2], t: [0, -2, 0]},
    {corner: [1, 1, 1], s: [-2, 0, 0], t: [0, -2, 0]},
    {corner: [-1, 1, 1], s: [2, 0, 0], t: [0, 0, -2]},
    {corner: [-1, -1, -1], s: [2, 0, 0], t: [0, 0, 2]}
  ];

  var MAX_PARALLEL_LOADS = 6;
  var LOAD_MARGIN = 1.1;        // view enlarged by this for loading (a little ahead of a pan)
  var KEEP_MARGIN = 1.35;       // tiles outside the view enlarged by this are freed
  var MAX_PIXEL_ZOOM = 2;       // default fovmin: the finest level shown at most 2x enlarged
  var CURVE_STEP = 4;           // degrees per mesh segment of curved surfaces
  var PLANE_STEP = 15;          // degrees per mesh segment of planes
  var NARROW_FOV = 10;          // degrees: a cylinder this narrow is shown as a plane

  // ---- small helpers ---------------------------------------------------------------------

  function format(text, value) { return text.replace("%s", value); }

  function clamp(x, low, high) { return x < low ? low : (x > high ? high : x); }

  // The attribute of an element, found without regard to case; null when absent.
  function attr(element, name) {
    var attributes = element.attributes;
    name = name.toLowerCase();
    for (var i = 0; i < attributes.length; i++) {
      if (attributes[i].name.toLowerCase() === name) return attributes[i].value;
    }
    return null;
  }

  function numberAttr(element, name, fallback) {
    var text = attr(element, name);
    if (text === null || text.trim() === "") return fallback;
    var value = parseFloat(text);
    return isFinite(value) ? value : fallback;
  }

  function boolAttr(element, name) {
    var text = (attr(element, name) || "").trim().toLowerCase();
    return text === "true" || text === "1" || text === "yes" || text === "on";
  }

  function nameOf(element) { return (element.localName || element.nodeName).toLowerCase(); }

  function children(element, name) {
    var found = [];
    for (var node = element.firstElementChild; node; node = node.nextElementSibling) {
      if (!name || nameOf(node) === name) found.push(node);
    }
    return found;
  }

  function pad(number, digits) {
    var text = String(number);
    while (text.length < digits) text = "0" + text;
    return text;
  }

  // Fills the placeholders of a url template; values: side, eye, row, column, level, frame.
  function fillUrl(template, values) {
    return template.replace(/%(0*)([A-Za-z])/g, function (all, zeros, letter) {
      var value;
      switch (letter.toLowerCase()) {
        case "s": value = values.side; break;
        case "t": value = values.eye; break;
        case "v": case "y": case "r": value = values.row; break;
        case "h": case "x": case "u": case "c": value = values.column; break;
        case "l": value = values.level; break;
        case "f": value = values.frame; break;
      }
      if (value === undefined || value === null) return all;
      return typeof value === "number" ? pad(value, zeros.length + 1) : value;
    });
  }

  // Sets an image's source; the images of a sealed tour are fetched and opened by tourCrypto
  // (viewer/crypto.js) with their path relative to the XML's folder.
  function loadPicture(viewer, picture, url) {
    if (!viewer.sealedTour) { picture.src = url; return; }
    var base = viewer.xmlUrl.replace(/[?#].*$/, "").replace(/[^\/]*$/, "");
    var path = url.indexOf(base) === 0 ? decodeURIComponent(url.slice(base.length)) : url;
    var handled = !!(picture.onload || picture.onerror);
    fetch(url).then(function (response) {
      if (!response.ok) throw new Error("HTTP " + response.status);
      return response.arrayBuffer();
    }).then(function (buffer) {
      return global.tourCrypto.openImage(buffer, path);
    }).then(function (plain) {
      if (handled && !picture.onload && !picture.onerror) return;  // freed while it loaded
      var source = URL.createObjectURL(new Blob([plain]));
      picture.addEventListener("load", function () { URL.revokeObjectURL(source); });
      picture.src = source;
    }).catch(function () {
      if (picture.onerror) picture.onerror();
    });
  }

  function resolveUrl(url, base) {
    try { return new URL(url, base).href; } catch (e) { return url; }
  }

  function dot(a, b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

  // Direction of a longitude and latitude in degrees.
  function direction(longitude, latitude) {
    var lon = longitude * DEG, lat = latitude * DEG;
    return [Math.cos(lat) * Math.sin(lon), Math.sin(lat), -Math.cos(lat) * Math.cos(lon)];
  }

  // 3 x 3 rotations, row-major, acting on column vectors.
  function multiply3(a, b) {
    var m = [];
    for (var i = 0; i < 3; i++) {
      for (var j = 0; j < 3; j++) {
        m[i * 3 + j] = a[i * 3] * b[j] + a[i * 3 + 1] * b[3 + j] + a[i * 3 + 2] * b[6 + j];
      }
    }
    return m;
  }

  function transposedApply(m, v) {  // m^T v
    return [m[0] * v[0] + m[3] * v[1] + m[6] * v[2],
            m[1] * v[0] + m[4] * v[1] + m[7] * v[2],
            m[2] * v[0] + m[5] * v[1] + m[8] * v[2]];
  }

  // The image's own rotation from prealign "pitch|heading|roll": pitch tilts the front upward,
  // roll leans the up direction to the right, heading turns the image to the right.
  function prealignRotation(text) {
    var parts = (text || "").split("|").map(parseFloat);
    var pitch = (parts[0] || 0) * DEG, heading = (parts[1] || 0) * DEG, roll = (parts[2] || 0) * DEG;
    var c = Math.cos(pitch), s = Math.sin(pitch);
    var rx = [1, 0, 0, 0, c, -s, 0, s, c];
    c = Math.cos(roll); s = Math.sin(roll);
    var rz = [c, s, 0, -s, c, 0, 0, 0, 1];
    c = Math.cos(heading); s = Math.sin(heading);
    var ry = [c, 0, -s, 0, 1, 0, s, 0, c];
    return multiply3(ry, multiply3(rz, rx));
  }

  // ---- reading the tour --------------------------------------------------------------------

  function parseView(element) {
    var view = {hlookat: 0, vlookat: 0, fov: 90, fovmin: null, fovmax: 120, limitview: "auto",
                hlookatmin: null, hlookatmax: null, vlookatmin: null, vlookatmax: null};
    if (!element) return view;
    view.hlookat = numberAttr(element, "hlookat", 0);
    view.vlookat = numberAttr(element, "vlookat", 0);
    view.fov = numberAttr(element, "fov", 90);
    view.fovmin = numberAttr(element, "fovmin", null);
    view.fovmax = numberAttr(element, "fovmax", 120);
    view.limitview = (attr(element, "limitview") || "auto").trim().toLowerCase();
    ["hlookatmin", "hlookatmax", "vlookatmin", "vlookatmax"].forEach(function (key) {
      view[key] = numberAttr(element, key, null);
    });
    return view;
  }

  // The image sources of a level (or of an image without levels): {shape, urls[]}, one url per
  // cube side or one for the other shapes; null when there is none.
  function parseSources(element, base) {
    var sides = [], shape = null, url = null;
    children(element).forEach(function (child) {
      var name = nameOf(child), childUrl = attr(child, "url");
      if (childUrl === null) return;
      var side = SIDE_NAMES.indexOf(name);
      if (side >= 0) {
        sides[side] = childUrl;
        shape = "cube";
      } else if (name === "cube" || name === "sphere" || name === "cylinder" || name === "flat") {
        if (url === null) { url = childUrl; shape = name; }
      }
    });
    if (shape === "cube") {
      var urls = [];
      for (var i = 0; i < 6; i++) {
        var one = url !== null ? fillUrl(url, {side: SIDE_LETTERS[i]}) : sides[i];
        if (!one) return null;
        urls.push(one);
      }
      return {shape: "cube", urls: urls, base: base};
    }
    return shape ? {shape: shape, urls: [url], base: base} : null;
  }

  function parseImage(element, base) {
    if (!element) return null;
    var image = {
      shape: null,
      hfov: numberAttr(element, "hfov", null),
      vfov: numberAttr(element, "vfov", null),
      voffset: numberAttr(element, "voffset", 0),
      tilesize: numberAttr(element, "tilesize", 0),
      baseindex: numberAttr(element, "baseindex", 1),
      eye: null,
      frame: numberAttr(element, "frame", 1),
      rotation: prealignRotation(attr(element, "prealign")),
      levels: []
    };
    if (boolAttr(element, "stereo")) {
      image.eye = ((attr(element, "stereolabels") || "1|2").split("|")[0] || "1").trim();
    }
    var levelElements = children(element, "level");
    levelElements.forEach(function (levelElement) {
      var sources = parseSources(levelElement, base);
      if (!sources) return;
      image.levels.push({
        width: numberAttr(levelElement, "tiledimagewidth", 0),
        height: numberAttr(levelElement, "tiledimageheight", 0),
        sources: sources
      });
    });
    if (!levelElements.length) {
      var single = parseSources(element, base);
      if (single) image.levels.push({width: 0, height: 0, sources: single});
    }
    if (!image.levels.length) return null;
    image.levels.sort(function (a, b) { return b.width - a.width; });
    image.levels.forEach(function (level, index) {
      level.index = index;
      level.number = image.levels.length - index;
    });

    var type = (attr(element, "type") || "").trim().toLowerCase();
    var sourceShape = image.levels[0].sources.shape;
    var shape = type === "cube" || type === "sphere" || type === "flat" ? type :
                type === "cylinder" ? (sourceShape === "flat" ? "flat" : "cylinder") :
                sourceShape;
    if (shape !== sourceShape && (shape === "cube" || sourceShape === "cube")) {
      shape = sourceShape;  // the sources decide when the type word contradicts them
    }
    image.given = {shape: shape, hfov: image.hfov, vfov: image.vfov};
    completeExtent(image);
    return image;
  }

  // Fills shape, hfov, vfov and the surface sizes of non-cube images from what the XML gives and
  // the size of the largest level (called again once the size of an image without levels is
  // known). Flat images are written with the cylinder type word; their vertical field of view
  // grows linearly with the height, a cylinder's with its tangent, which tells them apart. A
  // narrow image looks the same either way, and its two fields of view differ by less than the
  // rounding of its level sizes: it is shown flat (makepano writes flat pictures with an hfov of 1).
  function completeExtent(image) {
    var top = image.levels[0];
    var width = top.width, height = top.height;
    image.shape = image.given.shape;
    image.hfov = image.given.hfov;
    image.vfov = image.given.vfov;
    if (image.shape === "cube") return;
    if (image.hfov === null || image.hfov <= 0) image.hfov = image.shape === "flat" ? 90 : 360;
    image.hfov = Math.min(image.hfov, 360);
    var hfovRad = image.hfov * DEG;
    var known = width > 0 && height > 0;
    if (image.shape === "cylinder" && known && image.vfov !== null && image.hfov < 360) {
      var asFlat = Math.min(180, height * image.hfov / width);
      var asCylinder = 2 * Math.atan((height / 2) * hfovRad / width) / DEG;
      if (image.hfov <= NARROW_FOV ||
          Math.abs(image.vfov - asFlat) < Math.abs(image.vfov - asCylinder)) {
        image.shape = "flat";
      }
    }
    if (image.vfov === null || image.vfov <= 0) {
      if (!known) image.vfov = image.shape === "sphere" ? 180 : image.hfov / 2;
      else if (image.shape === "sphere") image.vfov = Math.min(180, height * image.hfov / width);
      else if (image.shape === "cylinder") {
        image.vfov = Math.min(179, 2 * Math.atan((height / 2) * hfovRad / width) / DEG);
      } else image.vfov = Math.min(179, height * image.hfov / width);
    }
    if (image.shape === "flat") {
      image.halfWidth = Math.tan(Math.min(image.hfov, 170) * DEG / 2);
      image.halfHeight = known ? image.halfWidth * height / width :
                                 Math.tan(Math.min(image.vfov, 170) * DEG / 2);
    } else if (image.shape === "cylinder") {
      image.halfHeight = Math.tan(Math.min(image.vfov, 170) * DEG / 2);
    }
    image.full = image.shape === "sphere" && image.hfov >= 360 && image.vfov >= 179.5;
  }

  function parseScene(element, index, base) {
    var imageElement = children(element, "image")[0];
    var previewElement = children(element, "preview")[0];
    var scene = {
      name: attr(element, "name") || ("scene" + (index + 1)),
      title: attr(element, "title") || "",
      thumb: attr(element, "thumburl"),
      view: parseView(children(element, "view")[0]),
      image: parseImage(imageElement, base),
      preview: null,
      base: base
    };
    if (previewElement && attr(previewElement, "url")) {
      scene.preview = {url: resolveUrl(attr(previewElement, "url"), base),
                       type: (attr(previewElement, "type") || "").toLowerCase()};
    }
    if (scene.thumb) scene.thumb = resolveUrl(scene.thumb, base);
    if (!scene.title) scene.title = scene.name;
    return scene;
  }

  function parseTour(text, base) {
    var doc = new DOMParser().parseFromString(text, "text/xml");
    var error = doc.getElementsByTagName("parsererror")[0];
    if (error || !doc.documentElement) {
      var detail = error ? error.textContent.replace(/\s+/g, " ").trim() : "empty document";
      throw new Error("not well-formed XML (" + detail.slice(0, 200) + ")");
    }
    var root = doc.documentElement;
    var sceneElements = children(root, "scene");
    var scenes = sceneElements.length ?
        sceneElements.map(function (element, i) { return parseScene(element, i, base); }) :
        [parseScene(root, 0, base)];
    return scenes.filter(function (scene) { return scene.image; });
  }

  // ---- surfaces ----------------------------------------------------------------------------

  // The point of the image surface at the image position (u, v) in [0, 1] (v downward), for a
  // cube: of side `face`.
  function surfacePoint(image, face, u, v) {
    if (image.shape === "cube") {
      var f = CUBE_FACES[face];
      return [f.corner[0] + u * f.s[0] + v * f.t[0],
              f.corner[1] + u * f.s[1] + v * f.t[1],
              f.corner[2] + u * f.s[2] + v * f.t[2]];
    }
    var longitude = (u - 0.5) * image.hfov;
    if (image.shape === "sphere") {
      return direction(longitude, image.voffset + (0.5 - v) * image.vfov);
    }
    var centreHeight = Math.tan(clamp(image.voffset, -80, 80) * DEG);
    var y = centreHeight + (1 - 2 * v) * image.halfHeight;
    if (image.shape === "cylinder") {
      return [Math.sin(longitude * DEG), y, -Math.cos(longitude * DEG)];
    }
    return [(2 * u - 1) * image.halfWidth, y, -1];
  }

  // Mesh segments across and down for the image rectangle [u0, u1] x [v0, v1]. Curved surfaces
  // follow their curve; planes are divided too, so that no triangle reaches far from the view:
  // a triangle with a corner at 90 degrees from the view direction may be dropped whole by the
  // clipping of some WebGL implementations.
  function segmentCounts(image, u0, u1, v0, v1) {
    var width = image.shape === "cube" ? 90 : image.hfov;
    var height = image.shape === "cube" ? 90 : image.vfov;
    var across = Math.ceil((u1 - u0) * width / (image.shape === "sphere" ||
                                                 image.shape === "cylinder" ? CURVE_STEP : PLANE_STEP));
    var down = image.shape === "cylinder" ? 1 :
        Math.ceil((v1 - v0) * height / (image.shape === "sphere" ? CURVE_STEP : PLANE_STEP));
    return [Math.max(1, across), Math.max(1, down)];
  }

  // Triangles (x, y, z, s, t per vertex) of a surface patch, with texture coordinates mapped
  // from the patch corners to [s0, s1] x [t0, t1].
  function buildPatch(pointAt, across, down, s0, s1, t0, t1) {
    var data = new Float32Array(across * down * 6 * 5), k = 0;
    function put(i, j) {
      var a = i / across, b = j / down, p = pointAt(a, b);
      data[k++] = p[0]; data[k++] = p[1]; data[k++] = p[2];
      data[k++] = s0 + a * (s1 - s0); data[k++] = t0 + b * (t1 - t0);
    }
    for (var j = 0; j < down; j++) {
      for (var i = 0; i < across; i++) {
        put(i, j); put(i + 1, j); put(i, j + 1);
        put(i + 1, j); put(i + 1, j + 1); put(i, j + 1);
      }
    }
    return data;
  }

  // Sample points of an image rectangle for the visibility test: the mesh corners.
  function samplePoints(image, face, u0, u1, v0, v1) {
    var counts = segmentCounts(image, u0, u1, v0, v1), points = [];
    for (var j = 0; j <= counts[1]; j++) {
      for (var i = 0; i <= counts[0]; i++) {
        points.push(surfacePoint(image, face, u0 + (u1 - u0) * i / counts[0],
                                 v0 + (v1 - v0) * j / counts[1]));
      }
    }
    return points;
  }

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

  Viewer.prototype.initGl = function (gl) {
    function compile(type, source) {
      var shader = gl.createShader(type);
      gl.shaderSource(shader, source);
      gl.compileShader(shader);
      return gl.getShaderParameter(shader, gl.COMPILE_STATUS) ? shader : null;
    }
    var vertex = compile(gl.VERTEX_SHADER, VERTEX_SHADER);
    var fragment = compile(gl.FRAGMENT_SHADER, FRAGMENT_SHADER);
    if (!vertex || !fragment) return false;
    var program = gl.createProgram();
    gl.attachShader(program, vertex);
    gl.attachShader(program, fragment);
    gl.linkProgram(program);
    if (!gl.getProgramParameter(program, gl.LINK_STATUS)) return false;
    gl.useProgram(program);
    this.gl = gl;
    this.positionLocation = gl.getAttribLocation(program, "position");
    this.texcoordLocation = gl.getAttribLocation(program, "texcoord");
    this.matrixLocation = gl.getUniformLocation(program, "matrix");
    gl.uniform1i(gl.getUniformLocation(program, "picture"), 0);
    gl.enableVertexAttribArray(this.positionLocation);
    gl.enableVertexAttribArray(this.texcoordLocation);
    gl.disable(gl.DEPTH_TEST);
    gl.disable(gl.CULL_FACE);
    this.maxTexture = gl.getParameter(gl.MAX_TEXTURE_SIZE);
    var self = this;
    this.canvas.addEventListener("webglcontextlost", function (event) {
      event.preventDefault();
      self.fail(MESSAGES.noWebgl);
    });
    return true;
  };

  // ---- tour and scenes -----------------------------------------------------------------------

  Viewer.prototype.loadTour = function () {
    var self = this, url = this.xmlUrl;
    fetch(url, {cache: "no-cache"}).then(function (response) {
      if (!response.ok) throw new Error("HTTP " + response.status + " " + response.statusText);
      return response.arrayBuffer();
    }).then(function (buffer) {
      self.sealedTour = String.fromCharCode.apply(null, new Uint8Array(buffer.slice(0, 4))) === "QVEF";
      return global.tourCrypto ? global.tourCrypto.openXml(buffer, url) : new TextDecoder().decode(buffer);
    }).then(function (text) {
      var scenes = parseTour(text, url);
      if (!scenes.length) { self.fail(format(MESSAGES.noImage, url)); return; }
      self.scenes = scenes;
      self.buildSceneList();
      var wanted = self.query.scene, start = 0;
      if (wanted) {
        scenes.forEach(function (scene, i) { if (scene.name === wanted) start = i; });
        if (/^\d+$/.test(wanted) && +wanted >= 1 && +wanted <= scenes.length) start = +wanted - 1;
      }
      self.showScene(start, true);
    }).catch(function (error) {
      self.fail(MESSAGES.xmlFailed.replace("%s", url).replace("%s", error.message || error));
    });
  };

  Viewer.prototype.buildSceneList = function () {
    if (this.scenes.length < 2) return;
    var self = this, list = document.createElement("div");
    list.className = "qv-scenes";
    this.sceneButtons = this.scenes.map(function (scene, i) {
      var button = document.createElement("button");
      button.type = "button";
      button.title = scene.title;
      button.setAttribute("data-scene", scene.name);
      if (scene.thumb) {
        var thumb = document.createElement("img");
        loadPicture(self, thumb, scene.thumb);
        thumb.alt = "";
        button.appendChild(thumb);
      }
      var label = document.createElement("span");
      label.textContent = scene.title;
      button.appendChild(label);
      button.addEventListener("click", function () { self.showScene(i, false); });
      list.appendChild(button);
      return button;
    });
    this.root.appendChild(list);
  };

  Viewer.prototype.showScene = function (index, first) {
    var scene = this.scenes[index];
    this.freeAll();
    this.scene = scene;
    this.sceneIndex = index;
    this.showing = (this.showing || 0) + 1;  // tells the preview loads of each showing apart
    this.requestedLevels = {};
    this.inertia = null;
    if (this.sceneButtons) {
      this.sceneButtons.forEach(function (button, i) {
        button.className = i === index ? "qv-active" : "";
      });
    }
    var view = scene.view;
    this.view = {hlookat: view.hlookat, vlookat: view.vlookat, fov: view.fov};
    if (first) {
      var query = this.query;
      ["hlookat", "vlookat", "fov"].forEach(function (key) {
        if (query[key] !== undefined) this.view[key] = query[key];
      }, this);
    }
    this.setStatus({state: "loading", scene: scene.name, scenes: this.scenes.length,
                    shape: scene.image.shape, levels: scene.image.levels.length,
                    preview: scene.preview ? "loading" : "none", error: ""});
    this.resize();
    this.loadPreview();
    this.requestFrame();
  };

  Viewer.prototype.freeAll = function () {
    var self = this;
    this.tiles.forEach(function (tile) { self.freeTile(tile); });
    this.tiles.clear();
    if (this.previewMeshes) {
      var gl = this.gl;
      this.previewMeshes.forEach(function (mesh) { gl.deleteBuffer(mesh.buffer); });
      gl.deleteTexture(this.previewTexture);
    }
    this.previewMeshes = null;
    this.previewTexture = null;
  };

  // ---- preview -------------------------------------------------------------------------------

  Viewer.prototype.loadPreview = function () {
    var self = this, scene = this.scene, showing = this.showing;
    if (!scene.preview) return;
    var picture = new Image();
    picture.onload = function () {
      if (self.showing !== showing) return;  // another scene (or this one again) was chosen
      self.previewTexture = self.createTexture(picture);
      self.previewSize = [picture.naturalWidth, picture.naturalHeight];
      self.previewMeshes = self.previewGeometry(picture.naturalWidth, picture.naturalHeight);
      self.setStatus({preview: "shown"});
      self.requestFrame();
    };
    picture.onerror = function () {
      if (self.showing !== showing) return;
      self.setStatus({preview: "failed"});
      self.requestFrame();
    };
    loadPicture(this, picture, scene.preview.url);
  };

  // Meshes of the preview: a cube strip (six faces, either direction), a full sphere, or the
  // image's own surface.
  Viewer.prototype.previewGeometry = function (width, height) {
    var image = this.scene.image, type = this.scene.preview.type, meshes = [];
    var vertical = height === 6 * width || (type === "cubestrip" && height > width);
    var horizontal = width === 6 * height || (type === "cubestrip" && width > height);
    if (vertical || horizontal) {
      var cube = {shape: "cube"};
      for (var face = 0; face < 6; face++) {
        // Half a texel inside each face, so no neighbouring face bleeds in.
        var inset = 0.5 / (vertical ? height : width);
        var a = face / 6 + inset, b = (face + 1) / 6 - inset;
        var pointAt = surfacePoint.bind(null, cube, face), counts = segmentCounts(cube, 0, 1, 0, 1);
        var data = vertical ? buildPatch(pointAt, counts[0], counts[1], 0, 1, a, b) :
                              buildPatch(pointAt, counts[0], counts[1], a, b, 0, 1);
        meshes.push(this.createMesh(data));
      }
      return meshes;
    }
    var surface = image;
    if (image.shape === "cube" || image.full || type === "sphere") {
      surface = {shape: "sphere", hfov: 360, vfov: 180, voffset: 0};
    }
    var counts = segmentCounts(surface, 0, 1, 0, 1);
    meshes.push(this.createMesh(buildPatch(surfacePoint.bind(null, surface, 0),
                                           counts[0], counts[1], 0, 1, 0, 1)));
    return meshes;
  };

  // ---- GL resources ----------------------------------------------------------------------------

  Viewer.prototype.createTexture = function (picture) {
    var gl = this.gl, texture = gl.createTexture();
    var width = picture.naturalWidth, height = picture.naturalHeight;
    if (Math.max(width, height) > this.maxTexture) {
      // An image without tiles beyond what the graphics card takes: shown reduced.
      var scale = this.maxTexture / Math.max(width, height);
      var reduced = document.createElement("canvas");
      reduced.width = Math.max(1, Math.floor(width * scale));
      reduced.height = Math.max(1, Math.floor(height * scale));
      reduced.getContext("2d").drawImage(picture, 0, 0, reduced.width, reduced.height);
      picture = reduced;
    }
    gl.bindTexture(gl.TEXTURE_2D, texture);
    gl.texImage2D(gl.TEXTURE_2D, 0, gl.RGB, gl.RGB, gl.UNSIGNED_BYTE, picture);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MIN_FILTER, gl.LINEAR);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAG_FILTER, gl.LINEAR);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_WRAP_S, gl.CLAMP_TO_EDGE);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_WRAP_T, gl.CLAMP_TO_EDGE);
    return texture;
  };

  Viewer.prototype.createMesh = function (data) {
    var gl = this.gl, buffer = gl.createBuffer();
    gl.bindBuffer(gl.ARRAY_BUFFER, buffer);
    gl.bufferData(gl.ARRAY_BUFFER, data, gl.STATIC_DRAW);
    return {buffer: buffer, count: data.length / 5};
  };

  Viewer.prototype.drawMesh = function (mesh, texture) {
    var gl = this.gl;
    gl.bindTexture(gl.TEXTURE_2D, texture);
    gl.bindBuffer(gl.ARRAY_BUFFER, mesh.buffer);
    gl.vertexAttribPointer(this.positionLocation, 3, gl.FLOAT, false, 20, 0);
    gl.vertexAttribPointer(this.texcoordLocation, 2, gl.FLOAT, false, 20, 12);
    gl.drawArrays(gl.TRIANGLES, 0, mesh.count);
  };

  // ---- view ------------------------------------------------------------------------------------

  // The camera for the current view: local-space axes (right, up, forward) and the tangents of
  // the half field of view across and down.
  Viewer.prototype.camera = function () {
    var view = this.view, h = view.hlookat * DEG, p = -view.vlookat * DEG;
    var forward = [Math.cos(p) * Math.sin(h), Math.sin(p), -Math.cos(p) * Math.cos(h)];
    var right = [Math.cos(h), 0, Math.sin(h)];
    var up = [right[1] * forward[2] - right[2] * forward[1],
              right[2] * forward[0] - right[0] * forward[2],
              right[0] * forward[1] - right[1] * forward[0]];
    var rotation = this.scene.image.rotation;
    var longSide = Math.max(this.width, this.height);
    var focal = (longSide / 2) / Math.tan(view.fov * DEG / 2);  // device pixels per unit tangent
    return {
      right: transposedApply(rotation, right),
      up: transposedApply(rotation, up),
      forward: transposedApply(rotation, forward),
      tanX: (this.width / 2) / focal,
      tanY: (this.height / 2) / focal,
      focal: focal
    };
  };

  // Angular extent of the image (for partial images): longitude and latitude ranges.
  function imageExtent(image) {
    if (image.shape === "cube" || image.full) return null;
    var top, bottom, halfLon;
    var centre = image.voffset;
    if (image.shape === "sphere") {
      halfLon = image.hfov / 2;
      top = centre + image.vfov / 2;
      bottom = centre - image.vfov / 2;
    } else {
      var c = Math.tan(clamp(centre, -80, 80) * DEG);
      halfLon = image.shape === "flat" ? Math.atan(image.halfWidth) / DEG : image.hfov / 2;
      top = Math.atan(c + image.halfHeight) / DEG;
      bottom = Math.atan(c - image.halfHeight) / DEG;
    }
    return {halfLon: halfLon, top: top, bottom: bottom, wraps: image.hfov >= 360};
  }

  // Keeps the view inside the limits of the scene: fov range, lookat range and, for partial
  // images with limitview auto, the image's edges.
  Viewer.prototype.limitView = function () {
    if (!this.scene || !this.width) return;
    var view = this.view, limits = this.scene.view, image = this.scene.image;
    var longSide = Math.max(this.width, this.height);
    var fovmax = Math.min(limits.fovmax || 120, 160);
    var fovmin = limits.fovmin;
    if (fovmin === null) {
      var density = this.levelDensity(image.levels[0]);
      fovmin = density > 0 ?
          2 * Math.atan((longSide / 2) / (density * MAX_PIXEL_ZOOM)) / DEG : 1;
    }
    var extent = limits.limitview === "off" || limits.limitview === "range" ?
        null : imageExtent(image);
    if (extent) {
      // The whole window must fit in the image: the fov across the window's long side follows
      // from the image's extent and the window's aspect.
      var aspectX = this.width / longSide, aspectY = this.height / longSide;
      var fitX = extent.wraps ? 180 :
          2 * Math.atan(Math.tan(extent.halfLon * DEG) / aspectX) / DEG;
      var halfV = Math.min(extent.top - (extent.top + extent.bottom) / 2, 89);
      var fitY = 2 * Math.atan(Math.tan(halfV * DEG) / aspectY) / DEG;
      fovmax = Math.min(fovmax, fitX, fitY);
    }
    fovmin = Math.min(Math.max(fovmin, 0.01), fovmax);
    view.fov = clamp(view.fov, fovmin, fovmax);
    this.fovRange = [fovmin, fovmax];

    var camera = this.camera();
    var halfX = Math.atan(camera.tanX) / DEG, halfY = Math.atan(camera.tanY) / DEG;
    var hmin = -Infinity, hmax = Infinity, vmin = -90, vmax = 90;
    if (limits.limitview === "range") {
      if (limits.hlookatmin !== null) hmin = limits.hlookatmin;
      if (limits.hlookatmax !== null) hmax = limits.hlookatmax;
      if (limits.vlookatmin !== null) vmin = limits.vlookatmin;
      if (limits.vlookatmax !== null) vmax = limits.vlookatmax;
    } else if (extent) {
      if (!extent.wraps) {
        hmin = -extent.halfLon + halfX;
        hmax = extent.halfLon - halfX;
      }
      vmin = -extent.top + halfY;
      vmax = -extent.bottom - halfY;
    }
    view.vlookat = vmin <= vmax ? clamp(view.vlookat, vmin, vmax) : (vmin + vmax) / 2;
    if (hmin === -Infinity && hmax === Infinity) {
      view.hlookat = ((view.hlookat + 180) % 360 + 360) % 360 - 180;
    } else {
      view.hlookat = hmin <= hmax ? clamp(view.hlookat, hmin, hmax) : (hmin + hmax) / 2;
    }
  };

  // Resolution of a level in pixels per unit tangent at the image's centre.
  Viewer.prototype.levelDensity = function (level) {
    var image = this.scene.image;
    if (!level.width) return 0;
    if (image.shape === "cube") return level.width / 2;
    if (image.shape === "flat") return level.width / (2 * image.halfWidth);
    return level.width / (image.hfov * DEG);
  };

  // The smallest level that shows at least the screen's resolution, else the finest.
  Viewer.prototype.chooseLevel = function (camera) {
    var levels = this.scene.image.levels;
    for (var i = levels.length - 1; i >= 0; i--) {
      if (this.levelDensity(levels[i]) >= camera.focal * 0.95) return levels[i];
    }
    return levels[0];
  };

  // ---- tiles -----------------------------------------------------------------------------------

  // Tile grid of a level: columns and rows per face (an image without levels is one tile).
  Viewer.prototype.levelGrid = function (level) {
    var image = this.scene.image;
    if (!level.width || !level.height) return {size: 0, columns: 1, rows: 1};
    var size = image.tilesize > 0 ? image.tilesize : Math.max(level.width, level.height);
    return {size: size, columns: Math.ceil(level.width / size),
            rows: Math.ceil(level.height / size)};
  };

  // Whether points can be in the view enlarged by margin: false when all lie outside one of the
  // four side planes of the view pyramid or all lie behind the eye.
  function inView(points, camera, margin) {
    var tx = camera.tanX * margin, ty = camera.tanY * margin;
    var outside = [true, true, true, true, true];
    for (var i = 0; i < points.length; i++) {
      var p = points[i];
      var x = dot(p, camera.right), y = dot(p, camera.up), z = dot(p, camera.forward);
      if (tx * z - x >= 0) outside[0] = false;
      if (tx * z + x >= 0) outside[1] = false;
      if (ty * z - y >= 0) outside[2] = false;
      if (ty * z + y >= 0) outside[3] = false;
      if (z > 0) outside[4] = false;
    }
    return !(outside[0] || outside[1] || outside[2] || outside[3] || outside[4]);
  }

  // The keys of the level's tiles in the view enlarged by margin, by halving blocks of tiles.
  Viewer.prototype.visibleTiles = function (level, camera, margin, found) {
    var image = this.scene.image, grid = this.levelGrid(level);
    var faces = image.shape === "cube" ? 6 : 1;
    var width = level.width || 1, height = level.height || 1, size = grid.size || 1;
    function edge(count, total, i) { return grid.size ? Math.min(1, i * size / total) : i / count; }
    function visit(face, c0, c1, r0, r1) {
      var u0 = edge(grid.columns, width, c0), u1 = edge(grid.columns, width, c1);
      var v0 = edge(grid.rows, height, r0), v1 = edge(grid.rows, height, r1);
      if (!inView(samplePoints(image, face, u0, u1, v0, v1), camera, margin)) return;
      if (c1 - c0 === 1 && r1 - r0 === 1) {
        found.push({level: level, face: face, column: c0, row: r0,
                    key: level.index + "/" + face + "/" + r0 + "/" + c0,
                    u0: u0, u1: u1, v0: v0, v1: v1});
        return;
      }
      if (c1 - c0 >= r1 - r0) {
        var cm = (c0 + c1) >> 1;
        visit(face, c0, cm, r0, r1);
        visit(face, cm, c1, r0, r1);
      } else {
        var rm = (r0 + r1) >> 1;
        visit(face, c0, c1, r0, rm);
        visit(face, c0, c1, rm, r1);
      }
    }
    for (var face = 0; face < faces; face++) visit(face, 0, grid.columns, 0, grid.rows);
    return found;
  };

  Viewer.prototype.tileUrl = function (spot) {
    var image = this.scene.image, sources = spot.level.sources;
    var template = sources.urls[sources.shape === "cube" ? spot.face : 0];
    var url = fillUrl(template, {
      side: SIDE_LETTERS[spot.face], eye: image.eye || undefined,
      row: spot.row + image.baseindex, column: spot.column + image.baseindex,
      level: spot.level.number, frame: image.frame
    });
    return resolveUrl(url, sources.base);
  };

  Viewer.prototype.requestTile = function (spot) {
    var self = this, image = this.scene.image;
    var tile = {key: spot.key, level: spot.level, url: this.tileUrl(spot), state: "loading",
                texture: null, mesh: null, spot: spot};
    this.tiles.set(tile.key, tile);
    this.requestedLevels[spot.level.number] = true;
    this.loading++;
    var picture = new Image();
    tile.picture = picture;
    // A tile freed while it loads has its handlers removed (see freeTile), so these run only
    // for tiles still wanted.
    picture.onload = function () {
      self.loading--;
      tile.picture = null;
      if (!spot.level.width) {
        // An image without levels: its size, and with it the shape's extent, is known only now.
        spot.level.width = picture.naturalWidth;
        spot.level.height = picture.naturalHeight;
        completeExtent(image);
        self.setStatus({shape: image.shape});
        if (self.previewMeshes) {
          var gl = self.gl;
          self.previewMeshes.forEach(function (mesh) { gl.deleteBuffer(mesh.buffer); });
          self.previewMeshes = self.previewGeometry(self.previewSize[0], self.previewSize[1]);
        }
      }
      var counts = segmentCounts(image, spot.u0, spot.u1, spot.v0, spot.v1);
      tile.texture = self.createTexture(picture);
      tile.mesh = self.createMesh(buildPatch(function (a, b) {
        return surfacePoint(image, spot.face, spot.u0 + a * (spot.u1 - spot.u0),
                            spot.v0 + b * (spot.v1 - spot.v0));
      }, counts[0], counts[1], 0, 1, 0, 1));
      tile.state = "loaded";
      self.requestFrame();
    };
    picture.onerror = function () {
      self.loading--;
      tile.picture = null;
      tile.state = "failed";
      self.requestFrame();
    };
    loadPicture(this, picture, tile.url);
  };

  Viewer.prototype.freeTile = function (tile) {
    var gl = this.gl;
    if (tile.texture) gl.deleteTexture(tile.texture);
    if (tile.mesh) gl.deleteBuffer(tile.mesh.buffer);
    if (tile.picture) {
      // Still loading: no handler runs any more (an emptied source need not report), and the
      // transfer that is no longer wanted stops.
      tile.picture.onload = tile.picture.onerror = null;
      tile.picture.src = "";
      tile.picture = null;
      this.loading--;
    }
    tile.texture = tile.mesh = null;
    tile.state = "freed";
  };

  // Decides which tiles to load and which to free for the current view.
  Viewer.prototype.updateTiles = function (camera) {
    var self = this, target = this.chooseLevel(camera);
    var wanted = this.visibleTiles(target, camera, LOAD_MARGIN, []);
    var inView = this.visibleTiles(target, camera, 1, []);
    var waiting = 0, missing = [];
    inView.forEach(function (spot) {
      var tile = self.tiles.get(spot.key);
      if (!tile || tile.state === "loading") waiting++;
    });
    wanted.forEach(function (spot) {
      if (!self.tiles.has(spot.key)) missing.push(spot);
    });
    // Nearest to the view centre first.
    missing.forEach(function (spot) {
      var centre = surfacePoint(self.scene.image, spot.face, (spot.u0 + spot.u1) / 2,
                                (spot.v0 + spot.v1) / 2);
      spot.priority = -dot(centre, camera.forward) / Math.sqrt(dot(centre, centre));
    });
    missing.sort(function (a, b) { return a.priority - b.priority; });
    for (var i = 0; i < missing.length && this.loading < MAX_PARALLEL_LOADS; i++) {
      this.requestTile(missing[i]);
    }

    // Keep what is near the view: tiles of coarser levels while the target level arrives,
    // finer ones until it has arrived.
    var keep = {}, levels = this.scene.image.levels;
    levels.forEach(function (level) {
      if (level.index > target.index || (waiting > 0 && level.index < target.index)) {
        self.visibleTiles(level, camera, KEEP_MARGIN, []).forEach(function (spot) {
          keep[spot.key] = true;
        });
      }
    });
    this.visibleTiles(target, camera, KEEP_MARGIN, []).forEach(function (spot) {
      keep[spot.key] = true;
    });
    var counts = {}, names = [], cube = this.scene.image.shape === "cube";
    this.tiles.forEach(function (tile, key) {
      if (!keep[key]) {
        self.freeTile(tile);
        self.tiles.delete(key);
        return;
      }
      if (tile.state !== "loaded") return;
      var spot = tile.spot;
      counts[spot.level.number] = (counts[spot.level.number] || 0) + 1;
      names.push("l" + spot.level.number + "/" + (cube ? SIDE_LETTERS[spot.face] : "0") + "/" +
                 spot.row + "/" + spot.column);
    });

    function byNumber(a, b) { return a - b; }
    var loaded = Object.keys(counts).sort(byNumber).map(function (n) {
      return "l" + n + ":" + counts[n];
    });
    var previewDone = !this.scene.preview || this.status.preview !== "loading";
    this.setStatus({
      state: waiting === 0 && previewDone ? "ready" : "loading",
      level: target.number,
      visible: inView.length,
      waiting: waiting,
      loaded: loaded.join(","),
      tiles: names.sort().join(" "),
      requested: Object.keys(this.requestedLevels).sort(byNumber).join(","),
      view: [this.view.hlookat, this.view.vlookat, this.view.fov].map(function (x) {
        return x.toFixed(2);
      }).join(",")
    });
    return target;
  };

  // ---- drawing -----------------------------------------------------------------------------

  // After a change of the view: the status says loading until the next frame has looked at the
  // tiles.
  Viewer.prototype.moved = function () {
    if (this.status.state === "ready") this.setStatus({state: "loading"});
    this.requestFrame();
  };

  Viewer.prototype.requestFrame = function () {
    if (this.frameRequested || !this.gl) return;
    this.frameRequested = true;
    var self = this;
    global.requestAnimationFrame(function (time) {
      self.frameRequested = false;
      self.frame(time);
    });
  };

  Viewer.prototype.resize = function () {
    var ratio = Math.min(global.devicePixelRatio || 1, 2);
    var width = Math.max(1, Math.round(this.canvas.clientWidth * ratio));
    var height = Math.max(1, Math.round(this.canvas.clientHeight * ratio));
    if (width !== this.canvas.width || height !== this.canvas.height) {
      this.canvas.width = width;
      this.canvas.height = height;
    }
    this.width = width;
    this.height = height;
    if (this.status.size !== width + "x" + height) this.setStatus({size: width + "x" + height});
    this.moved();
  };

  Viewer.prototype.frame = function (time) {
    if (!this.scene) return;
    var seconds = this.lastTime ? Math.min((time - this.lastTime) / 1000, 0.1) : 0;
    this.lastTime = time;
    if (this.animate(seconds)) this.requestFrame();
    else this.lastTime = 0;
    this.limitView();
    var gl = this.gl, camera = this.camera();
    var target = this.updateTiles(camera);

    gl.viewport(0, 0, this.width, this.height);
    gl.clearColor(0, 0, 0, 1);
    gl.clear(gl.COLOR_BUFFER_BIT);
    gl.uniformMatrix4fv(this.matrixLocation, false, viewMatrix(camera));
    var self = this;
    if (this.previewMeshes) {
      this.previewMeshes.forEach(function (mesh) { self.drawMesh(mesh, self.previewTexture); });
    }
    // Coarse levels first, so finer tiles cover them.
    var levels = this.scene.image.levels;
    for (var i = levels.length - 1; i >= 0; i--) {
      this.tiles.forEach(function (tile) {
        if (tile.level === levels[i] && tile.state === "loaded") {
          self.drawMesh(tile.mesh, tile.texture);
        }
      });
    }
    return target;
  };

  // Column-major matrix from local space to clip space for the camera.
  function viewMatrix(camera) {
    var near = 0.05, far = 100;
    var a = (far + near) / (far - near), b = -2 * far * near / (far - near);
    var r = camera.right, u = camera.up, f = camera.forward;
    var sx = 1 / camera.tanX, sy = 1 / camera.tanY;
    return new Float32Array([
      r[0] * sx, u[0] * sy, a * f[0], f[0],
      r[1] * sx, u[1] * sy, a * f[1], f[1],
      r[2] * sx, u[2] * sy, a * f[2], f[2],
      0, 0, b, 0
    ]);
  }

  // ---- input -------------------------------------------------------------------------------

  // Moves the view by keys held and by the drag's inertia; true while something moves.
  Viewer.prototype.animate = function (seconds) {
    var keys = this.keys, view = this.view, moving = false;
    var speed = 60 * view.fov / 90 * seconds;
    if (keys.left) { view.hlookat -= speed; moving = true; }
    if (keys.right) { view.hlookat += speed; moving = true; }
    if (keys.up) { view.vlookat -= speed; moving = true; }
    if (keys.down) { view.vlookat += speed; moving = true; }
    if (keys.zoomIn) { view.fov *= Math.pow(0.4, seconds); moving = true; }
    if (keys.zoomOut) { view.fov /= Math.pow(0.4, seconds); moving = true; }
    var inertia = this.inertia;
    if (inertia && !this.pointers) {
      view.hlookat += inertia.h * seconds;
      view.vlookat += inertia.v * seconds;
      var fade = Math.pow(0.02, seconds);
      inertia.h *= fade;
      inertia.v *= fade;
      if (Math.abs(inertia.h) + Math.abs(inertia.v) < 0.5) this.inertia = null;
      else moving = true;
    }
    return moving;
  };

  // Degrees of view per CSS pixel at the centre of the window.
  Viewer.prototype.degreesPerPixel = function () {
    var longSide = Math.max(this.canvas.clientWidth, this.canvas.clientHeight) || 1;
    return 2 * Math.tan(this.view.fov * DEG / 2) / longSide / DEG;
  };

  Viewer.prototype.bindInput = function () {
    var self = this, canvas = this.canvas, active = new Map();
    var gesture = null;
    this.pointers = 0;
    function centreAndSpread() {
      var points = Array.from(active.values());
      var x = 0, y = 0;
      points.forEach(function (p) { x += p.x; y += p.y; });
      x /= points.length; y /= points.length;
      var spread = points.length > 1 ?
          Math.hypot(points[0].x - points[1].x, points[0].y - points[1].y) : 0;
      return {x: x, y: y, spread: spread};
    }
    function startGesture() {
      var now = centreAndSpread();
      gesture = {x: now.x, y: now.y, spread: now.spread, fov: self.view ? self.view.fov : 90,
                 time: performance.now()};
    }
    canvas.addEventListener("pointerdown", function (event) {
      if (!self.view) return;
      try { canvas.setPointerCapture(event.pointerId); } catch (e) { /* not a real pointer */ }
      canvas.focus();
      active.set(event.pointerId, {x: event.clientX, y: event.clientY});
      self.pointers = active.size;
      self.inertia = null;
      canvas.classList.add("qv-dragging");
      startGesture();
      event.preventDefault();
    });
    canvas.addEventListener("pointermove", function (event) {
      if (!active.has(event.pointerId) || !gesture) return;
      active.set(event.pointerId, {x: event.clientX, y: event.clientY});
      var now = centreAndSpread(), step = self.degreesPerPixel();
      var dh = -(now.x - gesture.x) * step, dv = -(now.y - gesture.y) * step;
      self.view.hlookat += dh;
      self.view.vlookat += dv;
      if (gesture.spread > 0 && now.spread > 0) {
        self.view.fov = 2 * Math.atan(Math.tan(gesture.fov * DEG / 2) *
                                      gesture.spread / now.spread) / DEG;
      }
      var time = performance.now(), elapsed = Math.max(time - gesture.time, 16) / 1000;
      var fastest = 2 * self.view.fov;  // degrees per second at most after letting go
      self.dragSpeed = {h: clamp(dh / elapsed, -fastest, fastest),
                        v: clamp(dv / elapsed, -fastest, fastest)};
      gesture.x = now.x;
      gesture.y = now.y;
      gesture.time = time;
      self.moved();
    });
    function end(event) {
      if (!active.has(event.pointerId)) return;
      active.delete(event.pointerId);
      self.pointers = active.size;
      if (active.size) {
        self.dragSpeed = null;  // the end of a pinch never flings
        startGesture();
        return;
      }
      canvas.classList.remove("qv-dragging");
      if (self.dragSpeed && gesture && performance.now() - gesture.time < 80) {
        self.inertia = {h: self.dragSpeed.h, v: self.dragSpeed.v};
        self.requestFrame();
      }
      gesture = null;
      self.dragSpeed = null;
    }
    canvas.addEventListener("pointerup", end);
    canvas.addEventListener("pointercancel", end);
    canvas.addEventListener("wheel", function (event) {
      if (!self.view) return;
      event.preventDefault();
      var delta = event.deltaY * (event.deltaMode === 1 ? 16 : event.deltaMode === 2 ? 400 : 1);
      var half = Math.tan(self.view.fov * DEG / 2) * Math.exp(clamp(delta, -200, 200) * 0.0015);
      self.view.fov = 2 * Math.atan(half) / DEG;
      self.moved();
    }, {passive: false});

    var keyNames = {ArrowLeft: "left", ArrowRight: "right", ArrowUp: "up", ArrowDown: "down",
                    "+": "zoomIn", "=": "zoomIn", "-": "zoomOut", PageUp: "zoomIn",
                    PageDown: "zoomOut"};
    function typing(event) {
      var t = event.target;
      return t && (t.isContentEditable || /^(INPUT|TEXTAREA|SELECT)$/.test(t.tagName));
    }
    global.addEventListener("keydown", function (event) {
      var name = keyNames[event.key];
      if (!name || !self.view || typing(event) || event.ctrlKey || event.metaKey) return;
      event.preventDefault();
      if (!self.keys[name]) {
        self.keys[name] = true;
        self.lastTime = 0;
        self.moved();
      }
    });
    global.addEventListener("keyup", function (event) {
      var name = keyNames[event.key];
      if (name) self.keys[name] = false;
    });
    global.addEventListener("blur", function () { self.keys = {}; });
    global.addEventListener("resize", function () { self.resize(); });
    if (global.ResizeObserver) new ResizeObserver(function () { self.resize(); }).observe(canvas);
  };

  // ---- public --------------------------------------------------------------------------------

  // Sets the view; a value that is not a number leaves its part as it is.
  Viewer.prototype.setView = function (hlookat, vlookat, fov) {
    if (!this.view) return;
    if (isFinite(hlookat)) this.view.hlookat = hlookat;
    if (isFinite(vlookat)) this.view.vlookat = vlookat;
    if (isFinite(fov)) this.view.fov = fov;
    this.moved();
  };

  Viewer.prototype.loadScene = function (name) {
    for (var i = 0; i < this.scenes.length; i++) {
      if (this.scenes[i].name === name) { this.showScene(i, false); return true; }
    }
    return false;
  };

  // Shows the tour of options.xml in the element options.target (an id or the element).
  // Other options of the page's call (html5, swf) are accepted and not needed: this viewer is the
  // only one.
  function qorvelviewer(options) {
    var start = function () {
      try {
        var viewer = new Viewer(options || {});
        qorvelviewer.viewers.push(viewer);
        return viewer;
      } catch (error) {
        if (global.console) global.console.error(error.message);
        return null;
      }
    };
    if (document.readyState === "loading") {
      var holder = {};
      document.addEventListener("DOMContentLoaded", function () { holder.viewer = start(); });
      return holder;
    }
    return start();
  }

  qorvelviewer.viewers = [];  // every viewer of the page, in the order of the calls
  qorvelviewer.fillUrl = fillUrl;
  qorvelviewer.parseTour = parseTour;
  global.qorvelviewer = qorvelviewer;
})(window);
