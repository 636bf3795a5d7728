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
    picture.src = tile.url;
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

