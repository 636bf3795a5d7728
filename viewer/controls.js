
  // ---- controls: buttons, auto-rotation, compass, gyroscope --------------------------------

  // Whether a control is on: the page's URL parameter first (controls=0 turns every button
  // off), then the XML's word ("auto" gives fallback).
  Viewer.prototype.controlOn = function (key, word, fallback) {
    var switches = this.query.switches;
    if (switches.controls === "false" && key !== "compass") return false;
    if (switches[key]) return switches[key] === "true";
    return word === "auto" ? fallback : word === "true";
  };

  Viewer.prototype.buildControls = function (controls) {
    var self = this, bar = document.createElement("div");
    bar.className = "qv-controls";
    bar.setAttribute("role", "toolbar");
    this.controlButtons = {};
    function button(key, label, text, action) {
      var element = document.createElement("button");
      element.type = "button";
      element.className = "qv-" + key;
      element.title = label;
      element.setAttribute("aria-label", label);
      element.textContent = text;
      element.addEventListener("click", function () { self.noteInput(); action(element); });
      bar.appendChild(element);
      self.controlButtons[key] = element;
      return element;
    }
    if (this.controlOn("zoom", controls.zoom, true)) {
      button("zoomin", MESSAGES.zoomIn, "+", function () { self.zoomBy(0.7); });
      button("zoomout", MESSAGES.zoomOut, "\u2212", function () { self.zoomBy(1 / 0.7); });
    }
    var root = this.root;
    if (this.controlOn("fullscreen", controls.fullscreen, true) &&
        (root.requestFullscreen || root.webkitRequestFullscreen)) {
      var full = button("fullscreen", MESSAGES.fullscreen, "\u26f6", function () {
        if (document.fullscreenElement || document.webkitFullscreenElement) {
          (document.exitFullscreen || document.webkitExitFullscreen).call(document);
        } else {
          var request = root.requestFullscreen || root.webkitRequestFullscreen;
          var done = request.call(root);
          if (done && done.catch) done.catch(function () {});
        }
      });
      full.setAttribute("aria-pressed", "false");
      document.addEventListener("fullscreenchange", function () {
        full.setAttribute("aria-pressed", String(document.fullscreenElement === root));
        self.resize();
      });
    }
    var touch = "ontouchstart" in global || (global.navigator && navigator.maxTouchPoints > 0);
    if (global.DeviceOrientationEvent && this.controlOn("gyroscope", controls.gyroscope, touch)) {
      var gyro = button("gyroscope", MESSAGES.gyroscope, "\u2316", function () {
        self.setGyroscope(!self.gyro);
      });
      gyro.setAttribute("aria-pressed", "false");
    }
    if (bar.firstChild) this.root.appendChild(bar);
    this.compassWord = controls.compass;
    this.setStatus({controls: Object.keys(this.controlButtons).join(","), gyroscope: "off"});
  };

  // Narrows (factor below 1) or widens the view by a factor of the tangent of the half fov.
  Viewer.prototype.zoomBy = function (factor) {
    if (!this.view) return;
    this.view.fov = 2 * Math.atan(Math.tan(this.view.fov * DEG / 2) * factor) / DEG;
    this.moved();
  };

  // The scene's own parts: auto-rotation and compass.
  Viewer.prototype.sceneControls = function (scene) {
    var switches = this.query.switches, rotate = scene.autorotate;
    if (switches.autorotate === "false") rotate = null;
    else if (switches.autorotate === "true" && !(rotate && rotate.speed)) rotate = {speed: 5, delay: 3};
    this.autorotate = rotate && rotate.speed ? rotate : null;
    var compass = scene.heading !== null &&
        this.controlOn("compass", this.compassWord || "auto", true);
    if (compass && !this.compassElement) {
      this.compassElement = document.createElement("div");
      this.compassElement.className = "qv-compass";
      this.compassElement.setAttribute("aria-hidden", "true");
      this.compassNeedle = document.createElement("span");
      this.compassNeedle.textContent = "N";
      this.compassNeedle.title = MESSAGES.north;
      this.compassElement.appendChild(this.compassNeedle);
      this.root.appendChild(this.compassElement);
    }
    if (this.compassElement) this.compassElement.hidden = !compass;
    this.compassShown = compass;
    this.setStatus({autorotate: this.autorotate ? "waiting" : "off", compass: ""});
    this.noteInput();
  };

  // Any input: the auto-rotation stops and starts again after its delay without input.
  Viewer.prototype.noteInput = function () {
    this.lastInput = performance.now();
    if (!this.autorotate) return;
    var self = this;
    clearTimeout(this.rotateTimer);
    this.rotateTimer = setTimeout(function () { self.requestFrame(); },
                                  this.autorotate.delay * 1000 + 20);
    if (this.status.autorotate !== "waiting") this.setStatus({autorotate: "waiting"});
  };

  Viewer.prototype.rotating = function () {
    var rotate = this.autorotate;
    if (!rotate || this.pointers || this.gyro || this.inertia) return false;
    for (var key in this.keys) if (this.keys[key]) return false;
    var idle = performance.now() - this.lastInput >= rotate.delay * 1000;
    if (idle && this.status.autorotate !== "turning") this.setStatus({autorotate: "turning"});
    return idle;
  };

  // The device's orientation turns the view: the direction out of the back of the screen gives
  // the compass heading (relative to where it pointed when switched on) and the elevation.
  Viewer.prototype.setGyroscope = function (on) {
    var self = this, button = this.controlButtons && this.controlButtons.gyroscope;
    function apply(value) {
      self.gyro = value;
      self.gyroReference = null;
      if (button) button.setAttribute("aria-pressed", String(value));
      self.setStatus({gyroscope: value ? "on" : "off"});
      if (!value) self.noteInput();
    }
    if (!this.orientationListener) {
      this.orientationListener = function (event) { self.orientation(event); };
    }
    if (!on) {
      global.removeEventListener("deviceorientation", this.orientationListener);
      apply(false);
      return;
    }
    var ask = global.DeviceOrientationEvent && DeviceOrientationEvent.requestPermission;
    var permitted = ask ? DeviceOrientationEvent.requestPermission() : Promise.resolve("granted");
    permitted.then(function (answer) {
      if (answer !== "granted") { apply(false); return; }
      global.addEventListener("deviceorientation", self.orientationListener);
      apply(true);
    }).catch(function () { apply(false); });
  };

  Viewer.prototype.orientation = function (event) {
    if (!this.gyro || !this.view || event.alpha === null || event.beta === null) return;
    var a = (event.alpha || 0) * DEG, b = (event.beta || 0) * DEG, g = (event.gamma || 0) * DEG;
    // The device's -z axis in the earth's frame (x east, y north, z up), rotations Z-X'-Y''.
    var x = -Math.sin(g) * Math.cos(a) - Math.cos(g) * Math.sin(b) * Math.sin(a);
    var y = -Math.sin(g) * Math.sin(a) + Math.cos(g) * Math.sin(b) * Math.cos(a);
    var z = -Math.cos(g) * Math.cos(b);
    var heading = Math.atan2(x, y) / DEG, elevation = Math.asin(clamp(z, -1, 1)) / DEG;
    if (!this.gyroReference) this.gyroReference = {heading: heading, hlookat: this.view.hlookat};
    this.lastInput = performance.now();
    this.inertia = null;
    this.view.hlookat = this.gyroReference.hlookat + heading - this.gyroReference.heading;
    this.view.vlookat = -elevation;
    this.moved();
  };

  // Places what is drawn over the panorama for the frame's camera: hotspots and compass.
  Viewer.prototype.updateOverlays = function (camera) {
    if (this.compassShown) {
      var heading = ((this.scene.heading + this.view.hlookat) % 360 + 360) % 360;
      this.compassNeedle.style.transform = "rotate(" + (-heading).toFixed(1) + "deg)";
      this.setStatus({compass: heading.toFixed(1)});
    }
    this.placeHotspots(camera);
  };
