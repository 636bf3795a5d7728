
  // ---- the graphics context ------------------------------------------------------------------

  // WebGL 2 where there is one (mipmaps of tiles of any size), else WebGL 1 (mipmaps of tiles
  // whose sides are powers of two). A lost context is waited for and rebuilt when restored.
  Viewer.prototype.createContext = function () {
    var attributes = {alpha: false, antialias: false, depth: false, premultipliedAlpha: false,
                      preserveDrawingBuffer: false};
    var gl = null, self = this;
    try {
      gl = this.canvas.getContext("webgl2", attributes);
      this.webgl2 = !!gl;
      if (!gl) {
        gl = this.canvas.getContext("webgl", attributes) ||
             this.canvas.getContext("experimental-webgl", attributes);
      }
    } catch (e) { gl = null; }
    if (!gl || !this.initGl(gl)) return false;
    this.canvas.addEventListener("webglcontextlost", function (event) {
      event.preventDefault();
      self.contextLost();
    });
    this.canvas.addEventListener("webglcontextrestored", function () { self.contextRestored(); });
    return true;
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
    this.alphaLocation = gl.getUniformLocation(program, "alpha");
    gl.uniform1i(gl.getUniformLocation(program, "picture"), 0);
    gl.uniform1f(this.alphaLocation, 1);
    gl.enableVertexAttribArray(this.positionLocation);
    gl.enableVertexAttribArray(this.texcoordLocation);
    gl.disable(gl.DEPTH_TEST);
    gl.disable(gl.CULL_FACE);
    gl.blendFunc(gl.SRC_ALPHA, gl.ONE_MINUS_SRC_ALPHA);
    this.maxTexture = gl.getParameter(gl.MAX_TEXTURE_SIZE);
    return true;
  };

  // Draws black once with the viewer's program, a texture with mipmaps and the canvas at its
  // size, as every frame later does: the browser prepares that drawing (the program's code for
  // this state, the canvas's first showing) now, while the tour file and the preview are on
  // their way, instead of when the first picture is there. Nothing of it is kept.
  Viewer.prototype.firstDraw = function () {
    var gl = this.gl, texture = gl.createTexture(), buffer = gl.createBuffer();
    gl.bindTexture(gl.TEXTURE_2D, texture);
    gl.pixelStorei(gl.UNPACK_ALIGNMENT, 1);
    gl.texImage2D(gl.TEXTURE_2D, 0, gl.RGB, 2, 2, 0, gl.RGB, gl.UNSIGNED_BYTE, new Uint8Array(12));
    gl.generateMipmap(gl.TEXTURE_2D);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MIN_FILTER, gl.LINEAR_MIPMAP_NEAREST);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAG_FILTER, gl.LINEAR);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_WRAP_S, gl.CLAMP_TO_EDGE);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_WRAP_T, gl.CLAMP_TO_EDGE);
    // One triangle over the whole window (position, texcoord).
    gl.bindBuffer(gl.ARRAY_BUFFER, buffer);
    gl.bufferData(gl.ARRAY_BUFFER, new Float32Array([-1, -1, 0, 0, 0, 3, -1, 0, 1, 0,
                                                      -1, 3, 0, 0, 1]), gl.STATIC_DRAW);
    gl.uniformMatrix4fv(this.matrixLocation, false,
                        new Float32Array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1]));
    gl.viewport(0, 0, this.width, this.height);
    gl.clearColor(0, 0, 0, 1);
    gl.clear(gl.COLOR_BUFFER_BIT);
    gl.vertexAttribPointer(this.positionLocation, 3, gl.FLOAT, false, 20, 0);
    gl.vertexAttribPointer(this.texcoordLocation, 2, gl.FLOAT, false, 20, 12);
    gl.drawArrays(gl.TRIANGLES, 0, 3);
    gl.deleteTexture(texture);
    gl.deleteBuffer(buffer);
    gl.flush();
  };

  // Every texture and buffer is gone with the context: the tiles are forgotten (their files come
  // again from the browser's cache), the previews' pictures are kept for a new upload.
  Viewer.prototype.contextLost = function () {
    this.lost = true;
    this.store.clear(function (tile) {
      tile.inflight = false;
      tile.state = "released";
      if (tile.controller) tile.controller.abort();
      if (tile.bitmap && tile.bitmap.close) tile.bitmap.close();
    });
    this.uploadQueue = [];
    this.mipmapQueue = [];
    this.loading = 0;
    this.scenes.forEach(function (scene) {
      if (!scene.gpu) return;
      scene.gpu.previewTexture = null;
      scene.gpu.previewMeshes = null;
      scene.gpu.tinyTexture = null;
      scene.gpu.tinyMeshes = null;
    });
    this.notice(MESSAGES.contextLost);
    this.showLoading(true);
    this.setStatus({context: "lost", state: "loading"});
  };

  Viewer.prototype.contextRestored = function () {
    if (!this.initGl(this.gl)) { this.fail(MESSAGES.noWebgl); return; }
    this.lost = false;
    this.counters.restores++;
    var self = this;
    this.scenes.forEach(function (scene) {
      if (scene.gpu && scene.gpu.previewBitmap) self.uploadPreview(scene);
      else if (scene.gpu && scene.preview && scene.preview.tiny) self.uploadTiny(scene);
    });
    this.notice("");
    this.setStatus({context: "restored", restores: this.counters.restores});
    this.moved();
  };

  // ---- GL resources ----------------------------------------------------------------------------

  function powerOfTwo(n) { return (n & (n - 1)) === 0; }

  // A texture of a decoded picture (with its alpha when alpha is set), with mipmaps where the
  // context can make them (so reduced levels do not shimmer while panning), sampled from the
  // nearest mipmap level: blending two
  // levels costs a software GPU about half as much again per frame, and the tile levels are
  // chosen so that a tile is mostly drawn at between its own size and half of it, where the
  // two hardly differ. {texture, bytes, later}. With later set (a tile that
  // comes while the visitor drags), the mipmaps are left to a frame after the interaction
  // (makeMipmaps): making them costs a frame some milliseconds with a software GPU.
  Viewer.prototype.createTexture = function (picture, later, alpha) {
    var gl = this.gl, texture = gl.createTexture(), format = alpha ? gl.RGBA : gl.RGB;
    var width = picture.width, height = picture.height;
    gl.bindTexture(gl.TEXTURE_2D, texture);
    gl.pixelStorei(gl.UNPACK_ALIGNMENT, 1);
    gl.texImage2D(gl.TEXTURE_2D, 0, format, format, gl.UNSIGNED_BYTE, picture);
    var mipmaps = this.webgl2 || (powerOfTwo(width) && powerOfTwo(height));
    later = mipmaps && !!later;
    if (mipmaps && !later) {
      gl.generateMipmap(gl.TEXTURE_2D);
      this.counters.mipmaps = (this.counters.mipmaps || 0) + 1;
    }
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MIN_FILTER,
                     mipmaps && !later ? gl.LINEAR_MIPMAP_NEAREST : gl.LINEAR);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAG_FILTER, gl.LINEAR);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_WRAP_S, gl.CLAMP_TO_EDGE);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_WRAP_T, gl.CLAMP_TO_EDGE);
    this.counters.uploads++;
    return {texture: texture, bytes: Math.round(width * height * 4 * (mipmaps ? 4 / 3 : 1)),
            later: later};
  };

  // Whether the visitor moves the view (a drag, a fling, keys held).
  Viewer.prototype.interacting = function () {
    if (this.pointers || this.inertia) return true;
    for (var key in this.keys) if (this.keys[key]) return true;
    return false;
  };

  // Makes the mipmaps left for later, MIPMAPS_PER_FRAME per frame once the interaction is over.
  Viewer.prototype.makeMipmaps = function () {
    var gl = this.gl, queue = this.mipmapQueue;
    if (!queue.length || this.interacting()) return;
    for (var made = 0; queue.length && made < MIPMAPS_PER_FRAME;) {
      var tile = queue.shift();
      if (tile.state !== "loaded" || !tile.texture) continue;
      gl.bindTexture(gl.TEXTURE_2D, tile.texture);
      gl.generateMipmap(gl.TEXTURE_2D);
      gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MIN_FILTER, gl.LINEAR_MIPMAP_NEAREST);
      this.counters.mipmaps = (this.counters.mipmaps || 0) + 1;
      made++;
    }
    if (queue.length) this.requestFrame();
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

  // ---- drawing -----------------------------------------------------------------------------

  // After a change of the view: the status says loading until the next frame has looked at the
  // tiles.
  Viewer.prototype.moved = function () {
    if (this.status.state === "ready") this.setStatus({state: "loading"});
    this.requestFrame();
  };

  // Draws a frame at once rather than at the next animation frame (a picture that has just come
  // reaches the screen a frame sooner); the view does not move in it.
  Viewer.prototype.showNow = function () {
    if (!this.scene || this.lost) return;
    this.frame(this.lastTime || performance.now());
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

  // Follows the element's size and the device pixel ratio (which changes at the same CSS size
  // when the window moves to another screen).
  Viewer.prototype.resize = function () {
    var ratio = Math.min(global.devicePixelRatio || 1, 2);
    // The CSS size is kept for the input and the overlays, which would otherwise ask for it (and
    // with it for a fresh layout) on every move and frame.
    this.cssWidth = this.canvas.clientWidth;
    this.cssHeight = this.canvas.clientHeight;
    var width = Math.max(1, Math.round(this.cssWidth * ratio));
    var height = Math.max(1, Math.round(this.cssHeight * ratio));
    if (width !== this.canvas.width || height !== this.canvas.height) {
      this.canvas.width = width;
      this.canvas.height = height;
    }
    this.width = width;
    this.height = height;
    if (this.ratio !== ratio) this.watchRatio(ratio);
    if (this.status.size !== width + "x" + height) this.setStatus({size: width + "x" + height});
    this.moved();
  };

  Viewer.prototype.watchRatio = function (ratio) {
    this.ratio = ratio;
    if (!global.matchMedia) return;
    var self = this, query = global.matchMedia("(resolution: " + (global.devicePixelRatio || 1) + "dppx)");
    var changed = function () {
      if (query.removeEventListener) query.removeEventListener("change", changed);
      self.resize();
    };
    if (query.addEventListener) query.addEventListener("change", changed);
  };

  // Draws the preview and the tiles of a scene seen by camera; true when something was drawn.
  // With spots (the frame's tiles in view by level) and complete (every tile of the target level
  // in view is there), only that level is drawn: no overdraw of preview and coarser levels.
  Viewer.prototype.drawScene = function (scene, camera, spots, complete) {
    var self = this, drew = false, gpu = scene.gpu;
    this.gl.uniformMatrix4fv(this.matrixLocation, false, viewMatrix(camera));
    if (complete) {
      spots[complete.index].forEach(function (spot) {
        var tile = self.store.get(scene.index + ":" + spot.key);
        if (tile && tile.state === "loaded") { self.drawMesh(tile.mesh, tile.texture); drew = true; }
      });
      if (drew) return true;
    }
    if (gpu && gpu.tinyMeshes) {
      gpu.tinyMeshes.forEach(function (mesh) { self.drawMesh(mesh, gpu.tinyTexture); });
      drew = true;
    }
    if (gpu && gpu.previewMeshes) {
      // A part of the preview lets the tiny picture under it show where its rows have not come.
      var gl = this.gl, blend = !!gpu.tinyMeshes && !gl.isEnabled(gl.BLEND);
      if (blend) gl.enable(gl.BLEND);
      gpu.previewMeshes.forEach(function (mesh) { self.drawMesh(mesh, gpu.previewTexture); });
      if (blend) gl.disable(gl.BLEND);
      drew = true;
    }
    // Coarse levels first, so finer tiles cover them.
    var levels = scene.image.levels;
    var finest = spots ? Math.min.apply(null, Object.keys(spots).map(Number)) : 0;
    for (var i = levels.length - 1; i >= finest; i--) {
      (spots ? spots[i] : this.visibleTiles(levels[i], camera, 1, [], scene)).forEach(function (spot) {
        var tile = self.store.get(scene.index + ":" + spot.key);
        if (tile && tile.state === "loaded") {
          self.drawMesh(tile.mesh, tile.texture);
          drew = true;
        }
      });
    }
    return drew;
  };

  Viewer.prototype.frame = function (time) {
    if (!this.scene || this.lost) return;
    if (Math.min(global.devicePixelRatio || 1, 2) !== this.ratio) this.resize();
    var seconds = this.lastTime ? clamp((time - this.lastTime) / 1000, 0, 0.1) : 0;
    this.lastTime = time;
    if (this.animate(seconds)) this.requestFrame();
    else this.lastTime = 0;
    this.limitView();
    var gl = this.gl, camera = this.camera();
    this.uploadDecoded();
    this.makeMipmaps();
    var target = this.updateTiles(camera);

    gl.viewport(0, 0, this.width, this.height);
    gl.clearColor(0, 0, 0, 1);
    gl.clear(gl.COLOR_BUFFER_BIT);
    var drew = false, leaving = this.leaving, fade = 1;
    if (leaving) {
      // The scene before stays until this scene's preview is shown (or it waited long enough),
      // then this scene fades in over it.
      var gpu = this.scene.gpu, now = performance.now();
      var ready = (gpu && gpu.state === "shown" && gpu.previewMeshes) ||
                  this.status.preview !== "loading" &&
                  this.status.waiting === "0" || now - leaving.since > SCENE_WAIT;
      if (ready && !leaving.fadeStart) leaving.fadeStart = now;
      fade = leaving.fadeStart ? clamp((now - leaving.fadeStart) / FADE_TIME, 0, 1) : 0;
      drew = this.drawScene(leaving.scene, this.camera(leaving.view, leaving.scene));
      if (fade >= 1) this.leaving = null;
      else this.requestFrame();
    }
    if (fade > 0) {
      if (fade < 1) { gl.enable(gl.BLEND); gl.uniform1f(this.alphaLocation, fade); }
      // No tile of the view missing or failed: the target level alone covers the window.
      var complete = this.status.waiting === "0" && this.status.failed === "0" && fade >= 1;
      drew = this.drawScene(this.scene, camera, this.drawnSpots, complete ? target : null) || drew;
      gl.disable(gl.BLEND);
      gl.uniform1f(this.alphaLocation, 1);
    }
    // A frame that shows nothing after a picture was shown is a black frame: counted.
    if (drew) this.drewPicture = true;
    else if (this.drewPicture) this.counters.blank++;
    this.setStatus({blank: this.counters.blank, uploads: this.counters.uploads,
                    decodes: this.counters.decodes, mipmaps: this.counters.mipmaps || 0,
                    indicator: this.counters.indicator || 0,
                    cached: this.store.entries.size,
                    cachebytes: this.store.bytes});
    this.updateOverlays(camera);
    if (this.onframe) this.onframe(gl, drew);
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
