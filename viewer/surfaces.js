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

  // Sample points of an image rectangle for the visibility test: the mesh corners, as x, y, z
  // in one array. They depend only on the image's extent and are kept with it (the tile tests of
  // every frame then make no garbage); completeExtent drops them when the extent changes.
  function samplePoints(image, face, u0, u1, v0, v1) {
    var cache = image.pointCache || (image.pointCache = new Map());
    var key = face + "," + u0 + "," + u1 + "," + v0 + "," + v1, points = cache.get(key);
    if (points) return points;
    var counts = segmentCounts(image, u0, u1, v0, v1), k = 0;
    points = new Float64Array((counts[0] + 1) * (counts[1] + 1) * 3);
    for (var j = 0; j <= counts[1]; j++) {
      for (var i = 0; i <= counts[0]; i++) {
        var p = surfacePoint(image, face, u0 + (u1 - u0) * i / counts[0],
                             v0 + (v1 - v0) * j / counts[1]);
        points[k++] = p[0]; points[k++] = p[1]; points[k++] = p[2];
      }
    }
    cache.set(key, points);
    return points;
  }
