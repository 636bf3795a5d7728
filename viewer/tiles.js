  // ---- tiles -----------------------------------------------------------------------------------

  // Tile grid of a level: columns and rows per face (an image without levels is one tile).
  Viewer.prototype.levelGrid = function (level, image) {
    image = image || this.scene.image;
    if (!level.width || !level.height) return {size: 0, columns: 1, rows: 1};
    var size = image.tilesize > 0 ? image.tilesize : Math.max(level.width, level.height);
    return {size: size, columns: Math.ceil(level.width / size),
            rows: Math.ceil(level.height / size)};
  };

  // Whether points can be in the view enlarged by margin: false when all lie outside one of the
  // four side planes of the view pyramid or all lie behind the eye.
  function inView(points, camera, margin) {
    var tx = camera.tanX * margin, ty = camera.tanY * margin;
    var r = camera.right, u = camera.up, f = camera.forward;
    var pastRight = true, pastLeft = true, pastTop = true, pastBottom = true, behind = true;
    for (var i = 0; i < points.length; i += 3) {
      var px = points[i], py = points[i + 1], pz = points[i + 2];
      var x = px * r[0] + py * r[1] + pz * r[2];
      var y = px * u[0] + py * u[1] + pz * u[2];
      var z = px * f[0] + py * f[1] + pz * f[2];
      if (tx * z - x >= 0) pastRight = false;
      if (tx * z + x >= 0) pastLeft = false;
      if (ty * z - y >= 0) pastTop = false;
      if (ty * z + y >= 0) pastBottom = false;
      if (z > 0) behind = false;
    }
    return !(pastRight || pastLeft || pastTop || pastBottom || behind);
  }

  // The keys of the level's tiles in the view enlarged by margin, by halving blocks of tiles.
  Viewer.prototype.visibleTiles = function (level, camera, margin, found, scene) {
    var image = (scene || this.scene).image, grid = this.levelGrid(level, image);
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

  // The url of a tile as the XML's template makes it (relative to the XML's folder) and resolved.
  Viewer.prototype.tileUrl = function (spot, scene) {
    var image = scene.image, sources = spot.level.sources;
    var template = sources.urls[sources.shape === "cube" ? spot.face : 0];
    var url = fillUrl(template, {
      side: SIDE_LETTERS[spot.face], eye: image.eye || undefined,
      row: spot.row + image.baseindex, column: spot.column + image.baseindex,
      level: spot.level.number, frame: image.frame
    });
    return {relative: url, url: resolveUrl(url, sources.base)};
  };

  function tileName(scene, spot) {
    return "l" + spot.level.number + "/" +
        (scene.image.shape === "cube" ? SIDE_LETTERS[spot.face] : "0") + "/" +
        spot.row + "/" + spot.column;
  }

  // A tile goes loading (fetched, opened and decoded off the page's thread), decoded (waiting
  // for its upload, a few per frame), loaded (a texture in the store); a failed transfer is tried
  // again after a pause (retry), TILE_RETRIES times, then the tile has failed and the preview
  // stays in its place.
  Viewer.prototype.requestTile = function (spot) {
    var scene = this.scene, address = this.tileUrl(spot, scene);
    var tile = {key: scene.index + ":" + spot.key, scene: scene, spot: spot, level: spot.level,
                url: address.url, relative: address.relative, state: "loading", attempts: 0,
                texture: null, mesh: null, bitmap: null, bytes: 0};
    this.store.add(tile.key, tile);
    this.requestedLevels[spot.level.number] = true;
    this.fetchTile(tile);
  };

  Viewer.prototype.fetchTile = function (tile) {
    var self = this;
    this.loading++;
    this.counters.requests++;
    tile.inflight = true;
    tile.controller = global.AbortController ? new AbortController() : null;
    function settle() {
      if (!tile.inflight) return false;
      tile.inflight = false;
      tile.controller = null;
      self.loading--;
      return true;
    }
    fetchImageBytes(tile.url, tile.relative, tile.controller && tile.controller.signal)
      .then(function (bytes) {
        if (tile.state !== "loading") throw new Error("given up");
        return self.decodePicture(bytes);
      }).then(function (bitmap) {
        var wanted = settle() && tile.state === "loading";
        if (!wanted) { bitmap.close(); return; }
        tile.bitmap = bitmap;
        tile.state = "decoded";
        self.uploadQueue.push(tile);
        self.requestFrame();
      }).catch(function (error) {
        if (!settle() || tile.state !== "loading") return;
        if (error.retry && tile.attempts < TILE_RETRIES) {
          tile.state = "retry";
          self.counters.retries++;
          setTimeout(function () {
            if (tile.state !== "retry") return;
            tile.state = "loading";
            self.fetchTile(tile);
          }, RETRY_DELAY * Math.pow(2, tile.attempts++));
        } else {
          tile.state = "failed";
          if (tile.scene === self.scene) self.failedTiles[tileName(tile.scene, tile.spot)] = true;
        }
        self.requestFrame();
      });
  };

  // Uploads decoded tiles, at most UPLOADS_PER_FRAME per frame, so that no frame waits long;
  // tiles near the view go before those that came after the view left them.
  Viewer.prototype.uploadDecoded = function () {
    var queue = this.uploadQueue = this.uploadQueue.filter(function (tile) {
      return tile.state === "decoded";
    });
    for (var uploads = 0; queue.length && uploads < UPLOADS_PER_FRAME; uploads++) {
      var chosen = 0;
      for (var i = 0; i < queue.length; i++) {
        if (queue[i].near !== false) { chosen = i; break; }
      }
      this.uploadTile(queue.splice(chosen, 1)[0]);
    }
    if (queue.length) this.requestFrame();
  };

  Viewer.prototype.uploadTile = function (tile) {
    var scene = tile.scene, image = scene.image, spot = tile.spot, bitmap = tile.bitmap;
    if (!spot.level.width) {
      // An image without levels: its size, and with it the shape's extent, is known only now.
      spot.level.width = bitmap.sourceWidth || bitmap.width;
      spot.level.height = bitmap.sourceHeight || bitmap.height;
      completeExtent(image);
      if (scene === this.scene) this.setStatus({shape: image.shape});
      var gpu = scene.gpu;
      if (gpu && gpu.previewMeshes && gpu.previewSize) {
        var gl = this.gl;
        gpu.previewMeshes.forEach(function (mesh) { gl.deleteBuffer(mesh.buffer); });
        gpu.previewMeshes = this.previewGeometry(scene, gpu.previewSize[0], gpu.previewSize[1]);
      }
    }
    var counts = segmentCounts(image, spot.u0, spot.u1, spot.v0, spot.v1);
    var made = this.createTexture(bitmap, this.interacting());
    bitmap.close();
    tile.bitmap = null;
    tile.texture = made.texture;
    if (made.later) this.mipmapQueue.push(tile);
    tile.mesh = this.createMesh(buildPatch(function (a, b) {
      return surfacePoint(image, spot.face, spot.u0 + a * (spot.u1 - spot.u0),
                          spot.v0 + b * (spot.v1 - spot.v0));
    }, counts[0], counts[1], 0, 1, 0, 1));
    this.store.resized(tile, made.bytes);
    tile.state = "loaded";
  };

  // Gives a tile up: its transfer stops, its texture and mesh are deleted.
  Viewer.prototype.releaseTile = function (tile) {
    var gl = this.gl;
    if (tile.inflight) {
      tile.inflight = false;
      this.loading--;
      if (tile.controller) tile.controller.abort();
      tile.controller = null;
    }
    if (tile.bitmap) { tile.bitmap.close(); tile.bitmap = null; }
    if (tile.texture && !this.lost) gl.deleteTexture(tile.texture);
    if (tile.mesh && !this.lost) gl.deleteBuffer(tile.mesh.buffer);
    tile.texture = tile.mesh = null;
    tile.state = "released";
  };

  // Decides which tiles to load and which to give up for the current view, and which levels the
  // frame draws: every level from the coarsest to one finer than the target.
  Viewer.prototype.updateTiles = function (camera) {
    var self = this, scene = this.scene, store = this.store, target = this.chooseLevel(camera);
    var levels = scene.image.levels, now = performance.now();
    var drawn = {};
    for (var i = levels.length - 1; i >= Math.max(0, target.index - 1); i--) {
      drawn[i] = this.visibleTiles(levels[i], camera, 1, [], scene);
    }
    this.drawnSpots = drawn;
    var inView = drawn[target.index];
    var waiting = 0;
    inView.forEach(function (spot) {
      var tile = store.get(scene.index + ":" + spot.key);
      if (!tile || (tile.state !== "loaded" && tile.state !== "failed")) waiting++;
    });

    // The tiles near the view: those kept while they come, and those drawn (marked as used).
    var near = {};
    this.visibleTiles(target, camera, KEEP_MARGIN, [], scene).forEach(function (spot) {
      near[scene.index + ":" + spot.key] = true;
    });
    Object.keys(drawn).forEach(function (index) {
      drawn[index].forEach(function (spot) {
        var key = scene.index + ":" + spot.key;
        near[key] = true;
        if (store.get(key)) store.touch(key);
      });
    });

    // The preview first: no tile is fetched before it is shown or PREVIEW_WAIT has passed.
    var previewPending = scene.gpu.state === "loading" && now - this.shownAt < PREVIEW_WAIT;
    var missing = [];
    if (!previewPending) {
      this.visibleTiles(target, camera, LOAD_MARGIN, [], scene).forEach(function (spot) {
        if (!store.get(scene.index + ":" + spot.key)) missing.push(spot);
      });
    }

    // A tile still coming that is no longer near the view is given up when it belongs to another
    // scene or level, or when the view has tiles to fetch and no free transfer for them. Else it
    // comes to the store like the others: a view that turns back (a drag to and fro) finds it
    // there rather than fetching and uploading it again.
    var starved = missing.length > MAX_PARALLEL_LOADS - this.loading;
    var givenUp = [];
    store.forEach(function (tile, key) {
      tile.near = !!near[key];
      if (tile.near) return;
      var coming = tile.state === "loading" || tile.state === "retry";
      if (!coming && tile.state !== "decoded") return;
      if (tile.scene !== scene || tile.level !== target || (coming && starved)) givenUp.push(key);
    });
    givenUp.forEach(function (key) { store.remove(key, self.releaseTile.bind(self)); });

    // Nearest to the view centre first.
    missing.forEach(function (spot) {
      var centre = surfacePoint(scene.image, spot.face, (spot.u0 + spot.u1) / 2,
                                (spot.v0 + spot.v1) / 2);
      spot.priority = -dot(centre, camera.forward) / Math.sqrt(dot(centre, centre));
    });
    missing.sort(function (a, b) { return a.priority - b.priority; });
    for (var m = 0; m < missing.length && this.loading < MAX_PARALLEL_LOADS; m++) {
      this.requestTile(missing[m]);
    }

    // Textures stay in the store (and are drawn again when the view comes back) until it is
    // full; then the least recently used that the view does not need go.
    var leaving = this.leaving && this.leaving.scene;
    store.trim(function (tile) { return near[tile.key] || tile.scene === leaving; },
               this.releaseTile.bind(this));

    var counts = {}, names = [];
    Object.keys(drawn).forEach(function (index) {
      drawn[index].forEach(function (spot) {
        var tile = store.get(scene.index + ":" + spot.key);
        if (!tile || tile.state !== "loaded") return;
        counts[spot.level.number] = (counts[spot.level.number] || 0) + 1;
        names.push(tileName(scene, spot));
      });
    });
    function byNumber(a, b) { return a - b; }
    var loaded = Object.keys(counts).sort(byNumber).map(function (n) {
      return "l" + n + ":" + counts[n];
    });
    var failed = Object.keys(this.failedTiles).sort();
    if (failed.length && this.status.failed !== String(failed.length)) {
      this.notice(format(MESSAGES.tilesFailed, failed.length));
    }
    var previewDone = scene.gpu.state !== "loading";
    this.followLoading(waiting === 0 && previewDone);
    this.setStatus({
      state: waiting === 0 && previewDone ? "ready" : "loading",
      level: target.number,
      visible: inView.length,
      waiting: waiting,
      loaded: loaded.join(","),
      tiles: names.sort().join(" "),
      failed: failed.length,
      failedtiles: failed.join(" "),
      requested: Object.keys(this.requestedLevels).sort(byNumber).join(","),
      requests: this.counters.requests,
      retries: this.counters.retries,
      view: [this.view.hlookat, this.view.vlookat, this.view.fov].map(function (x) {
        return x.toFixed(2);
      }).join(",")
    });
    return target;
  };
