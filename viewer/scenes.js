  // ---- tour and scenes -----------------------------------------------------------------------

  Viewer.prototype.loadTour = function () {
    var self = this, url = this.xmlUrl;
    fetch(url, {cache: "no-cache"}).then(function (response) {
      if (!response.ok) throw new Error("HTTP " + response.status + " " + response.statusText);
      return response.text();
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
        thumb.src = scene.thumb;
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
    picture.src = scene.preview.url;
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

