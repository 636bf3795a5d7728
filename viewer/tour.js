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
    image.pointCache = null;
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

  // A hotspot: <hotspot type h v title text scene url hlookat vlookat fov>. type "info" (the
  // default) shows its title and text, "scene" opens the scene of that name (at the view of
  // hlookat, vlookat and fov where given, else at the scene's own view), "url" opens the url.
  function parseHotspot(element, base) {
    var type = (attr(element, "type") || "").trim().toLowerCase();
    if (!type) type = attr(element, "scene") ? "scene" : attr(element, "url") ? "url" : "info";
    var url = attr(element, "url");
    return {
      type: type,
      name: attr(element, "name") || "",
      h: numberAttr(element, "h", 0),
      v: numberAttr(element, "v", 0),
      title: attr(element, "title") || "",
      text: attr(element, "text") || "",
      scene: attr(element, "scene") || "",
      url: url ? resolveUrl(url, base) : "",
      view: {hlookat: numberAttr(element, "hlookat", null),
             vlookat: numberAttr(element, "vlookat", null),
             fov: numberAttr(element, "fov", null)}
    };
  }

  // <autorotate speed delay>: degrees per second (negative turns left) and seconds without input
  // before the turning starts; enabled="false" switches it off.
  function parseAutorotate(element) {
    if (!element) return null;
    var enabled = attr(element, "enabled");
    if (enabled !== null && !boolAttr(element, "enabled")) return {speed: 0, delay: 0};
    return {speed: numberAttr(element, "speed", 5), delay: Math.max(0, numberAttr(element, "delay", 3))};
  }

  // <controls zoom fullscreen gyroscope compass>: each "true" or "false"; gyroscope and compass
  // default to "auto" (the gyroscope button on touch screens, the compass where a heading is known).
  function parseControls(element) {
    var controls = {zoom: "true", fullscreen: "true", gyroscope: "auto", compass: "auto"};
    if (!element) return controls;
    Object.keys(controls).forEach(function (key) {
      var value = attr(element, key);
      if (value !== null) controls[key] = (value.trim().toLowerCase() === "auto") ? "auto" :
          (boolAttr(element, key) ? "true" : "false");
    });
    return controls;
  }

  // The few pixels of the preview that a tour file may carry (tiny="WxH:rrggbb…", rows from the
  // top): {width, height, pixels (RGB bytes)}, or null when absent or malformed.
  function parseTiny(text) {
    var match = /^\s*(\d{1,2})x(\d{1,2}):([0-9a-fA-F]*)\s*$/.exec(text || "");
    if (!match) return null;
    var width = +match[1], height = +match[2], hex = match[3];
    if (!width || !height || hex.length !== width * height * 6) return null;
    var pixels = new Uint8Array(width * height * 3);
    for (var i = 0; i < pixels.length; i++) pixels[i] = parseInt(hex.substr(2 * i, 2), 16);
    return {width: width, height: height, pixels: pixels};
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
                       type: (attr(previewElement, "type") || "").toLowerCase(),
                       tiny: parseTiny(attr(previewElement, "tiny"))};
    }
    if (scene.thumb) scene.thumbRelative = scene.thumb;
    if (scene.thumb) scene.thumb = resolveUrl(scene.thumb, base);
    if (scene.preview) scene.preview.relative = attr(previewElement, "url");
    var heading = attr(element, "heading");
    scene.heading = heading !== null && heading.trim() !== "" && isFinite(parseFloat(heading)) ?
        parseFloat(heading) : null;
    scene.hotspots = children(element, "hotspot").map(function (hotspot) {
      return parseHotspot(hotspot, base);
    });
    scene.autorotate = parseAutorotate(children(element, "autorotate")[0]);
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
    var rootAutorotate = parseAutorotate(children(root, "autorotate")[0]);
    var rootHeading = numberAttr(root, "heading", null);
    scenes.forEach(function (scene) {
      if (!scene.autorotate) scene.autorotate = rootAutorotate;
      if (scene.heading === null && sceneElements.length) scene.heading = rootHeading;
    });
    scenes = scenes.filter(function (scene) { return scene.image; });
    scenes.controls = parseControls(children(root, "controls")[0]);
    return scenes;
  }

