
  // ---- hotspots ------------------------------------------------------------------------------
  // Buttons (and links) over the panorama at a direction h, v (the angles of hlookat and
  // vlookat). An info point shows its title and text, a scene link opens its scene with the
  // cross-fade (at its arrival view where it gives one), a url link opens the url.

  Viewer.prototype.buildHotspots = function (scene) {
    var self = this;
    if (!this.hotspotLayer) {
      this.hotspotLayer = document.createElement("div");
      this.hotspotLayer.className = "qv-hotspots";
      this.root.insertBefore(this.hotspotLayer, this.loadingElement);
    }
    this.hotspotLayer.textContent = "";
    this.hotspots = scene.hotspots.map(function (spot, i) {
      var element;
      var label = spot.title || spot.scene || spot.url || spot.text;
      if (spot.type === "url") {
        element = document.createElement("a");
        element.href = spot.url;
        element.target = "_blank";
        element.rel = "noopener";
        element.textContent = "\u2197";
      } else {
        element = document.createElement("button");
        element.type = "button";
        element.textContent = spot.type === "scene" ? "\u2794" : "i";
      }
      element.className = "qv-hotspot qv-hotspot-" + spot.type;
      element.setAttribute("data-hotspot", spot.name || String(i + 1));
      element.setAttribute("aria-label", label);
      element.title = label;
      if (spot.type === "info") {
        element.setAttribute("aria-expanded", "false");
        element.addEventListener("click", function () { self.toggleInfo(element, spot); });
      } else if (spot.type === "scene") {
        element.addEventListener("click", function () {
          self.noteInput();
          self.loadScene(spot.scene, spot.view);
        });
      }
      // A press on a hotspot is not the start of a drag.
      element.addEventListener("pointerdown", function (event) { event.stopPropagation(); });
      self.hotspotLayer.appendChild(element);
      return {spot: spot, element: element};
    });
  };

  Viewer.prototype.toggleInfo = function (element, spot) {
    this.noteInput();
    var open = element.querySelector(".qv-hotspot-text");
    if (open) {
      open.remove();
      element.setAttribute("aria-expanded", "false");
      return;
    }
    var box = document.createElement("span");
    box.className = "qv-hotspot-text";
    box.setAttribute("role", "note");
    if (spot.title) {
      var title = document.createElement("b");
      title.textContent = spot.title;
      box.appendChild(title);
    }
    box.appendChild(document.createTextNode(spot.text));
    element.appendChild(box);
    element.setAttribute("aria-expanded", "true");
  };

  Viewer.prototype.placeHotspots = function (camera) {
    if (!this.hotspots || !this.hotspots.length) return;
    var rotation = this.scene.image.rotation, width = this.cssWidth;
    var height = this.cssHeight, shown = [];
    this.hotspots.forEach(function (entry) {
      var p = transposedApply(rotation, direction(entry.spot.h, -entry.spot.v));
      var z = dot(p, camera.forward);
      var x = dot(p, camera.right) / z / camera.tanX, y = dot(p, camera.up) / z / camera.tanY;
      var visible = z > 0.01 && Math.abs(x) <= 1 && Math.abs(y) <= 1;
      entry.element.hidden = !visible;
      if (!visible) return;
      var left = (1 + x) / 2 * width, top = (1 - y) / 2 * height;
      entry.element.style.left = left.toFixed(1) + "px";
      entry.element.style.top = top.toFixed(1) + "px";
      shown.push(entry.element.getAttribute("data-hotspot") + "@" + Math.round(left) + "," +
                 Math.round(top));
    });
    this.setStatus({hotspots: shown.join(" ")});
  };
