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

