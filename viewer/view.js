  // ---- view ------------------------------------------------------------------------------------

  // The camera for the current view: local-space axes (right, up, forward) and the tangents of
  // the half field of view across and down.
  Viewer.prototype.camera = function (view, scene) {
    view = view || this.view;
    scene = scene || this.scene;
    var h = view.hlookat * DEG, p = -view.vlookat * DEG;
    var forward = [Math.cos(p) * Math.sin(h), Math.sin(p), -Math.cos(p) * Math.cos(h)];
    var right = [Math.cos(h), 0, Math.sin(h)];
    var up = [right[1] * forward[2] - right[2] * forward[1],
              right[2] * forward[0] - right[0] * forward[2],
              right[0] * forward[1] - right[1] * forward[0]];
    var rotation = scene.image.rotation;
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
    // The XML's view decides; without a fovmin the visitor may zoom in until the finest level is
    // enlarged ZOOM_PAST_FINEST times on a reference window, and always at least to a quarter
    // of the opening fov: the window's size and pixel ratio play no part.
    var fovmin = limits.fovmin;
    if (fovmin === null) {
      var density = this.levelDensity(image.levels[0]);
      fovmin = density > 0 ?
          2 * Math.atan((REFERENCE_WINDOW / 2) / (density * ZOOM_PAST_FINEST)) / DEG : 1;
      fovmin = Math.min(fovmin, limits.fov / 4);
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

    var camera = this.camera(view);
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
  Viewer.prototype.levelDensity = function (level, image) {
    image = image || this.scene.image;
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

