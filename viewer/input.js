  // ---- input -------------------------------------------------------------------------------

  // Moves the view by keys held and by the drag's inertia; true while something moves.
  Viewer.prototype.animate = function (seconds) {
    var keys = this.keys, view = this.view, moving = false;
    var speed = 60 * view.fov / 90 * seconds;
    if (keys.left) { view.hlookat -= speed; moving = true; }
    if (keys.right) { view.hlookat += speed; moving = true; }
    if (keys.up) { view.vlookat -= speed; moving = true; }
    if (keys.down) { view.vlookat += speed; moving = true; }
    if (keys.zoomIn) { view.fov *= Math.pow(0.4, seconds); moving = true; }
    if (keys.zoomOut) { view.fov /= Math.pow(0.4, seconds); moving = true; }
    if (this.rotating()) {
      view.hlookat += this.autorotate.speed * seconds;
      moving = true;
    }
    var inertia = this.inertia;
    if (inertia && !this.pointers) {
      view.hlookat += inertia.h * seconds;
      view.vlookat += inertia.v * seconds;
      var fade = Math.pow(0.02, seconds);
      inertia.h *= fade;
      inertia.v *= fade;
      if (Math.abs(inertia.h) + Math.abs(inertia.v) < 0.5) this.inertia = null;
      else moving = true;
    }
    return moving;
  };

  // Degrees of view per CSS pixel at the centre of the window.
  Viewer.prototype.degreesPerPixel = function () {
    var longSide = Math.max(this.cssWidth || 0, this.cssHeight || 0) || 1;
    return 2 * Math.tan(this.view.fov * DEG / 2) / longSide / DEG;
  };

  Viewer.prototype.bindInput = function () {
    var self = this, canvas = this.canvas, active = new Map();
    var gesture = null;
    this.pointers = 0;
    function centreAndSpread() {
      var points = Array.from(active.values());
      var x = 0, y = 0;
      points.forEach(function (p) { x += p.x; y += p.y; });
      x /= points.length; y /= points.length;
      var spread = points.length > 1 ?
          Math.hypot(points[0].x - points[1].x, points[0].y - points[1].y) : 0;
      return {x: x, y: y, spread: spread};
    }
    function startGesture() {
      var now = centreAndSpread();
      gesture = {x: now.x, y: now.y, spread: now.spread, fov: self.view ? self.view.fov : 90,
                 time: performance.now()};
    }
    canvas.addEventListener("pointerdown", function (event) {
      if (!self.view) return;
      self.noteInput();
      try { canvas.setPointerCapture(event.pointerId); } catch (e) { /* not a real pointer */ }
      canvas.focus();
      active.set(event.pointerId, {x: event.clientX, y: event.clientY});
      self.pointers = active.size;
      self.inertia = null;
      canvas.classList.add("qv-dragging");
      startGesture();
      event.preventDefault();
    });
    canvas.addEventListener("pointermove", function (event) {
      if (!active.has(event.pointerId) || !gesture) return;
      active.set(event.pointerId, {x: event.clientX, y: event.clientY});
      var now = centreAndSpread(), step = self.degreesPerPixel();
      var dh = -(now.x - gesture.x) * step, dv = -(now.y - gesture.y) * step;
      self.view.hlookat += dh;
      self.view.vlookat += dv;
      if (gesture.spread > 0 && now.spread > 0) {
        self.view.fov = 2 * Math.atan(Math.tan(gesture.fov * DEG / 2) *
                                      gesture.spread / now.spread) / DEG;
      }
      var time = performance.now(), elapsed = Math.max(time - gesture.time, 16) / 1000;
      var fastest = 2 * self.view.fov;  // degrees per second at most after letting go
      self.dragSpeed = {h: clamp(dh / elapsed, -fastest, fastest),
                        v: clamp(dv / elapsed, -fastest, fastest)};
      gesture.x = now.x;
      gesture.y = now.y;
      gesture.time = time;
      self.moved();
    });
    function end(event) {
      if (!active.has(event.pointerId)) return;
      active.delete(event.pointerId);
      self.pointers = active.size;
      if (active.size) {
        self.dragSpeed = null;  // the end of a pinch never flings
        startGesture();
        return;
      }
      canvas.classList.remove("qv-dragging");
      if (self.dragSpeed && gesture && performance.now() - gesture.time < 80) {
        self.inertia = {h: self.dragSpeed.h, v: self.dragSpeed.v};
        self.requestFrame();
      }
      gesture = null;
      self.dragSpeed = null;
      self.requestFrame();  // mipmaps left for the end of the drag
    }
    canvas.addEventListener("pointerup", end);
    canvas.addEventListener("pointercancel", end);
    canvas.addEventListener("wheel", function (event) {
      if (!self.view) return;
      event.preventDefault();
      self.noteInput();
      var delta = event.deltaY * (event.deltaMode === 1 ? 16 : event.deltaMode === 2 ? 400 : 1);
      var half = Math.tan(self.view.fov * DEG / 2) * Math.exp(clamp(delta, -200, 200) * 0.0015);
      self.view.fov = 2 * Math.atan(half) / DEG;
      self.moved();
    }, {passive: false});

    var keyNames = {ArrowLeft: "left", ArrowRight: "right", ArrowUp: "up", ArrowDown: "down",
                    "+": "zoomIn", "=": "zoomIn", "-": "zoomOut", PageUp: "zoomIn",
                    PageDown: "zoomOut"};
    function typing(event) {
      var t = event.target;
      return t && (t.isContentEditable || /^(INPUT|TEXTAREA|SELECT)$/.test(t.tagName));
    }
    // Keys are taken only while the viewer (its canvas or one of its buttons) has the focus; the
    // page keeps its arrows and +/- everywhere else.
    this.root.addEventListener("keydown", function (event) {
      var name = keyNames[event.key];
      if (!name || !self.view || typing(event) || event.ctrlKey || event.metaKey) return;
      if (event.target !== canvas && /^(ArrowLeft|ArrowRight|ArrowUp|ArrowDown)$/.test(event.key) &&
          event.target.tagName === "BUTTON") {
        return;  // arrows on a button stay the page's
      }
      event.preventDefault();
      self.noteInput();
      if (!self.keys[name]) {
        self.keys[name] = true;
        self.lastTime = 0;
        self.moved();
      }
    });
    this.root.addEventListener("keyup", function (event) {
      var name = keyNames[event.key];
      if (name) self.keys[name] = false;
      self.requestFrame();
    });
    this.root.addEventListener("focusout", function () { self.keys = {}; });
    global.addEventListener("blur", function () { self.keys = {}; });
    global.addEventListener("resize", function () { self.resize(); });
    if (global.ResizeObserver) new ResizeObserver(function () { self.resize(); }).observe(canvas);
  };

