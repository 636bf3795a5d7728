  var MESSAGES = {
    noWebgl: "This browser cannot show the panorama: WebGL is not available.",
    xmlFailed: "The tour file \"%s\" cannot be read: %s",
    noImage: "The tour file \"%s\" contains no panorama image.",
    noTarget: "qorvelviewer: no element with the id \"%s\" in the page.",
    contextLost: "The graphics context was lost; the panorama comes back when it is restored.",
    noScene: "The tour has no scene \"%s\"; the first scene is shown.",
    tilesFailed: "%s tiles cannot be loaded; the preview is shown in their place.",
    canvasLabel: "Panorama %s. Drag or use the arrow keys to look around, + and - to zoom.",
    zoomIn: "Zoom in",
    zoomOut: "Zoom out",
    fullscreen: "Full screen",
    gyroscope: "Look around by turning the device",
    north: "North",
    loading: "Loading"
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
  var REFERENCE_WINDOW = 1000;  // pixels: the window on which the default fovmin is measured
  var ZOOM_PAST_FINEST = 4;     // default fovmin: the finest level enlarged this many times there
  var PREVIEW_WAIT = 1200;      // ms: tiles wait this long for the preview to be shown first
  var PART_INTERVAL = 80;       // ms at least between two showings of a preview still coming
  var PART_WAIT = 500;          // ms a part of a picture may take to decode before it is dropped
  var MIPMAPS_PER_FRAME = 2;    // textures whose mipmaps were left for later, made per frame
  var UPLOADS_PER_FRAME = 1;    // texture uploads at most per frame (one may take 40 ms in software)
  var CACHE_MEGABYTES = 192;    // textures kept (in view or not) up to this many megabytes
  var TILE_RETRIES = 3;         // a tile that cannot be fetched is tried again this many times
  var RETRY_DELAY = 300;        // ms before the first retry, doubled for each further one
  var LOADING_DELAY = 400;      // ms a view once complete waits incomplete before the indicator
  var FADE_TIME = 350;          // ms of the cross-fade between scenes
  var SCENE_WAIT = 2500;        // ms a scene without a shown preview waits before the fade
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

