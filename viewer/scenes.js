  // ---- tour and scenes -----------------------------------------------------------------------

  // Fetches an image of the tour and opens it: a promise of its bytes. A failure of the transfer
  // carries retry = true (worth trying again); one of the opening does not. onPart, when given,
  // is told after each piece of the transfer, with a function that gives the bytes so far.
  function fetchImageBytes(url, relative, signal, onPart) {
    return fetch(url, {signal: signal}).then(function (response) {
      if (!response.ok) {
        var error = new Error("HTTP " + response.status + " " + response.statusText);
        error.retry = true;
        throw error;
      }
      if (!onPart || !response.body || !response.body.getReader) return response.arrayBuffer();
      return readInPieces(response.body.getReader(), onPart);
    }, function (error) {
      if (error.name !== "AbortError") error.retry = true;
      throw error;
    }).then(function (buffer) { return tourCrypto.openImage(buffer, relative); });
  }

  // Reads a body piece by piece: a promise of all its bytes (an ArrayBuffer).
  function readInPieces(reader, onPart) {
    var pieces = [], length = 0;
    function joined() {
      if (pieces.length > 1) {
        var bytes = new Uint8Array(length), at = 0;
        pieces.forEach(function (piece) { bytes.set(piece, at); at += piece.length; });
        pieces = [bytes];
      }
      return pieces.length ? pieces[0] : new Uint8Array(0);
    }
    function next() {
      return reader.read().then(function (part) {
        if (part.done) {
          var bytes = joined();
          return bytes.byteOffset === 0 && bytes.byteLength === bytes.buffer.byteLength ?
              bytes.buffer : bytes.slice().buffer;
        }
        pieces.push(part.value);
        length += part.value.length;
        onPart(joined);
        return next();
      });
    }
    return next();
  }

  // The part of a picture that its first bytes hold, as a bitmap of the whole size whose rows not
  // yet there are transparent black; null where the browser cannot decode parts of pictures
  // (ImageDecoder), for files that are not plain JPEG or PNG (sealed ones), or when the bytes
  // hold no row yet.
  function partType(bytes) {
    if (!global.ImageDecoder || !global.ReadableStream) return null;
    return bytes[0] === 0xff && bytes[1] === 0xd8 ? "image/jpeg" :
           bytes[0] === 0x89 && bytes[1] === 0x50 ? "image/png" : null;
  }

  function decodePart(bytes) {
    var type = partType(bytes);
    if (!type) return Promise.resolve(null);
    var decoder, finished = false, timer = null;
    try {
      // A stream left open: the decoder takes the bytes as the start of a longer file.
      decoder = new ImageDecoder({type: type, data: new ReadableStream({
        start: function (controller) { controller.enqueue(bytes); }
      })});
    } catch (e) {
      return Promise.resolve(null);
    }
    var decoded = decoder.decode({completeFramesOnly: false}).then(function (result) {
      var frame = result.image;
      if (finished) { frame.close(); return null; }
      return createImageBitmap(frame).then(function (bitmap) {
        frame.close();
        if (finished) { bitmap.close(); return null; }
        return bitmap;
      }, function () { frame.close(); return null; });
    }, function () { return null; });
    var late = new Promise(function (resolve) { timer = setTimeout(resolve, PART_WAIT, null); });
    return Promise.race([decoded, late]).then(function (bitmap) {
      finished = true;
      clearTimeout(timer);
      try { decoder.close(); } catch (e) { /* closed already */ }
      return bitmap;
    });
  }

  // Decodes the bytes of a picture away from the page's thread; pictures larger than the largest
  // texture are reduced.
  Viewer.prototype.decodePicture = function (bytes) {
    var limit = this.maxTexture, self = this;
    return createImageBitmap(new Blob([bytes]), {premultiplyAlpha: "none",
                                                 colorSpaceConversion: "none"}).then(function (bitmap) {
      self.counters.decodes++;
      if (Math.max(bitmap.width, bitmap.height) <= limit) return bitmap;
      var scale = limit / Math.max(bitmap.width, bitmap.height);
      return createImageBitmap(bitmap, {resizeWidth: Math.max(1, Math.floor(bitmap.width * scale)),
                                        resizeHeight: Math.max(1, Math.floor(bitmap.height * scale)),
                                        resizeQuality: "high"}).then(function (reduced) {
        reduced.sourceWidth = bitmap.width;
        reduced.sourceHeight = bitmap.height;
        bitmap.close();
        return reduced;
      });
    });
  };

  // Fetches the tour file: a promise of its bytes.
  Viewer.prototype.fetchTour = function () {
    return fetch(this.xmlAddress, {cache: "no-cache"}).then(function (response) {
      if (!response.ok) throw new Error("HTTP " + response.status + " " + response.statusText);
      return response.arrayBuffer();
    });
  };

  // Opens the tour of the bytes that tour (a promise of fetchTour) gives and shows its first
  // scene.
  Viewer.prototype.loadTour = function (tour) {
    var self = this, url = this.xmlAddress;
    tour.then(function (buffer) {
      return tourCrypto.openXml(buffer, self.xmlUrl);
    }).then(function (text) {
      var scenes = parseTour(text, url);
      if (!scenes.length) { self.fail(format(MESSAGES.noImage, url)); return; }
      scenes.forEach(function (scene, i) { scene.index = i; });
      self.scenes = scenes;
      self.buildSceneList();
      self.buildControls(scenes.controls);
      var wanted = self.query.scene, start = -1;
      if (wanted) {
        scenes.forEach(function (scene, i) { if (scene.name === wanted) start = i; });
        if (/^\d+$/.test(wanted) && +wanted >= 1 && +wanted <= scenes.length) start = +wanted - 1;
        if (start < 0) self.notice(format(MESSAGES.noScene, wanted));
      }
      self.showScene(Math.max(start, 0), true);
    }).catch(function (error) {
      self.fail(MESSAGES.xmlFailed.replace("%s", url).replace("%s", error.message || error));
    });
  };

  // The scene list's thumbnails are fetched once the first preview is shown (or PREVIEW_WAIT has
  // passed), so that they do not share the link with it.
  Viewer.prototype.loadThumbs = function () {
    var loads = this.thumbLoads || [];
    this.thumbLoads = [];
    loads.forEach(function (load) { load(); });
  };

  Viewer.prototype.buildSceneList = function () {
    this.thumbLoads = [];
    if (this.scenes.length < 2) return;
    setTimeout(this.loadThumbs.bind(this), PREVIEW_WAIT);
    var self = this, list = document.createElement("div");
    list.className = "qv-scenes";
    this.sceneButtons = this.scenes.map(function (scene, i) {
      var button = document.createElement("button");
      button.type = "button";
      button.title = scene.title;
      button.setAttribute("data-scene", scene.name);
      if (scene.thumb) {
        var thumb = document.createElement("img");
        thumb.alt = "";
        button.appendChild(thumb);
        self.thumbLoads.push(function () {
          fetchImageBytes(scene.thumb, scene.thumbRelative).then(function (bytes) {
            thumb.src = URL.createObjectURL(new Blob([bytes]));
          }).catch(function () { thumb.remove(); });
        });
      }
      var label = document.createElement("span");
      label.textContent = scene.title;
      button.appendChild(label);
      button.addEventListener("click", function () { self.noteInput(); self.showScene(i, false); });
      list.appendChild(button);
      return button;
    });
    this.root.appendChild(list);
  };

  // Shows a scene: at its own view, or at the page's URL view for the first, or at arrive (a view
  // whose null parts keep the scene's). The scene shown before stays on screen until this one's
  // preview is shown, then this one fades in over it.
  Viewer.prototype.showScene = function (index, first, arrive) {
    var scene = this.scenes[index], previous = this.scene;
    if (previous && previous !== scene && this.drewPicture &&
        !(this.leaving && !this.leaving.fadeStart)) {
      this.leaving = {scene: previous, view: this.view, since: performance.now()};
    } else if (previous === scene) {
      this.leaving = null;
    }
    if (this.leaving) this.leaving.since = performance.now();
    this.scene = scene;
    this.sceneIndex = index;
    this.shownAt = performance.now();
    this.requestedLevels = {};
    this.failedTiles = {};
    this.inertia = null;
    if (this.sceneButtons) {
      this.sceneButtons.forEach(function (button, i) {
        button.className = i === index ? "qv-active" : "";
        if (i === index) button.setAttribute("aria-current", "true");
        else button.removeAttribute("aria-current");
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
    if (arrive) {
      ["hlookat", "vlookat", "fov"].forEach(function (key) {
        if (arrive[key] !== null && arrive[key] !== undefined) this.view[key] = arrive[key];
      }, this);
    }
    this.canvas.setAttribute("aria-label", format(MESSAGES.canvasLabel, scene.title));
    if (!scene.gpu) scene.gpu = {state: scene.preview ? "loading" : "none"};
    this.loadPreview(scene);
    this.setStatus({state: "loading", scene: scene.name, scenes: this.scenes.length,
                    shape: scene.image.shape, levels: scene.image.levels.length,
                    preview: scene.gpu.state, error: "", failed: 0, failedtiles: ""});
    if (!first && this.status.notice && this.noticeElement) this.notice("");
    this.buildHotspots(scene);
    this.sceneControls(scene);
    this.resize();
    // Tiles wait for the preview; after a while they come without it.
    var self = this;
    setTimeout(function () { self.requestFrame(); }, PREVIEW_WAIT);
    this.requestFrame();
    // The first scene's tiny picture, where its tour file has one, is shown at once.
    if (first) this.showNow();
  };

  // ---- preview -------------------------------------------------------------------------------

  Viewer.prototype.loadPreview = function (scene) {
    var self = this, gpu = scene.gpu;
    if (!scene.preview) return;
    if (gpu.previewBitmap) {
      if (!gpu.previewMeshes && !this.lost) this.uploadPreview(scene);
      return;
    }
    if (scene.preview.tiny && !gpu.tinyMeshes && !this.lost) this.uploadTiny(scene);
    if (gpu.previewLoading) return;
    gpu.previewLoading = true;
    // While nothing is on screen yet, the part of the preview that has come is shown as it comes
    // (top rows first, as a page shows a picture that loads), a few times a second.
    var parts = this.drewPicture ? null : {busy: false, bytes: null};
    function showPart() {
      var bytes = parts.bytes();
      parts.bytes = null;
      // A file this browser cannot decode in part (a sealed one): no more tries.
      if (bytes.length >= 2 && !partType(bytes)) { parts = null; return; }
      parts.busy = true;
      decodePart(bytes).then(function (bitmap) {
        var shown = bitmap && !gpu.previewBitmap && !self.lost && self.scene === scene;
        if (shown) self.uploadPreviewPart(scene, bitmap);
        if (bitmap) bitmap.close();
        setTimeout(function () {
          parts.busy = false;
          if (parts.bytes && !gpu.previewBitmap) showPart();
        }, shown ? PART_INTERVAL : 0);
      });
    }
    function onPart(bytesSoFar) {
      if (!parts || gpu.previewBitmap) return;
      parts.bytes = bytesSoFar;
      if (!parts.busy) showPart();
    }
    fetchImageBytes(scene.preview.url, scene.preview.relative, null, onPart).then(function (bytes) {
      return self.decodePicture(bytes);
    }).then(function (bitmap) {
      gpu.previewLoading = false;
      gpu.previewBitmap = bitmap;
      if (!self.lost) self.uploadPreview(scene);
      if (self.scene === scene) self.showNow();
      self.requestFrame();
    }).catch(function () {
      gpu.previewLoading = false;
      gpu.state = "failed";
      self.loadThumbs();
      if (self.scene === scene) self.setStatus({preview: "failed"});
      self.requestFrame();
    });
  };

  Viewer.prototype.uploadPreview = function (scene) {
    var gpu = scene.gpu, bitmap = gpu.previewBitmap;
    this.dropPreview(scene);
    this.dropTiny(scene);
    gpu.previewTexture = this.createTexture(bitmap).texture;
    gpu.previewSize = [bitmap.sourceWidth || bitmap.width, bitmap.sourceHeight || bitmap.height];
    gpu.previewMeshes = this.previewGeometry(scene, gpu.previewSize[0], gpu.previewSize[1]);
    gpu.state = "shown";
    this.loadThumbs();
    if (this.scene === scene) this.setStatus({preview: "shown"});
  };

  // Shows the part of the preview that has come (the preview's state stays "loading").
  Viewer.prototype.uploadPreviewPart = function (scene, bitmap) {
    var gpu = scene.gpu;
    this.dropPreview(scene);
    gpu.previewTexture = this.createTexture(bitmap, false, true).texture;
    gpu.previewSize = [bitmap.width, bitmap.height];
    gpu.previewMeshes = this.previewGeometry(scene, bitmap.width, bitmap.height);
    this.counters.previewParts = (this.counters.previewParts || 0) + 1;
    this.setStatus({previewparts: this.counters.previewParts});
    this.showNow();
  };

  // Shows the few pixels of the preview that the tour file carries (a blur of the panorama's
  // colours) from the start until the preview itself is shown; the parts of the preview that
  // come are drawn over them. Drawn without mipmaps: they are never reduced much.
  Viewer.prototype.uploadTiny = function (scene) {
    var gl = this.gl, gpu = scene.gpu, tiny = scene.preview.tiny, texture = gl.createTexture();
    this.dropTiny(scene);
    gl.bindTexture(gl.TEXTURE_2D, texture);
    gl.pixelStorei(gl.UNPACK_ALIGNMENT, 1);
    gl.texImage2D(gl.TEXTURE_2D, 0, gl.RGB, tiny.width, tiny.height, 0, gl.RGB, gl.UNSIGNED_BYTE,
                  tiny.pixels);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MIN_FILTER, gl.LINEAR);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAG_FILTER, gl.LINEAR);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_WRAP_S, gl.CLAMP_TO_EDGE);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_WRAP_T, gl.CLAMP_TO_EDGE);
    gpu.tinyTexture = texture;
    gpu.tinyMeshes = this.previewGeometry(scene, tiny.width, tiny.height);
  };

  // Deletes a picture's texture and meshes, gpu[name + "Texture"] and gpu[name + "Meshes"].
  Viewer.prototype.dropPicture = function (scene, name) {
    var gpu = scene.gpu, gl = this.gl;
    if (!this.lost) {
      if (gpu[name + "Texture"]) gl.deleteTexture(gpu[name + "Texture"]);
      (gpu[name + "Meshes"] || []).forEach(function (mesh) { gl.deleteBuffer(mesh.buffer); });
    }
    gpu[name + "Texture"] = null;
    gpu[name + "Meshes"] = null;
  };

  Viewer.prototype.dropTiny = function (scene) {
    this.dropPicture(scene, "tiny");
  };

  // Deletes the preview's texture and meshes (a part shown before, or before a new upload).
  Viewer.prototype.dropPreview = function (scene) {
    this.dropPicture(scene, "preview");
  };

  // Meshes of the preview: a cube strip (six faces, either direction), a full sphere, or the
  // image's own surface.
  Viewer.prototype.previewGeometry = function (scene, width, height) {
    var image = scene.image, type = scene.preview.type, meshes = [];
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
