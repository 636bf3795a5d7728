  // ---- public --------------------------------------------------------------------------------

  // Sets the view; a value that is not a number leaves its part as it is.
  Viewer.prototype.setView = function (hlookat, vlookat, fov) {
    if (!this.view) return;
    if (isFinite(hlookat)) this.view.hlookat = hlookat;
    if (isFinite(vlookat)) this.view.vlookat = vlookat;
    if (isFinite(fov)) this.view.fov = fov;
    this.noteInput();
    this.moved();
  };

  // Opens the scene of that name, at arrive ({hlookat, vlookat, fov}, parts null or missing keep
  // the scene's own view) when given.
  Viewer.prototype.loadScene = function (name, arrive) {
    for (var i = 0; i < this.scenes.length; i++) {
      if (this.scenes[i].name === name) { this.showScene(i, false, arrive); return true; }
    }
    return false;
  };

  // Shows the tour of options.xml in the element options.target (an id or the element).
  // Other options of the page's call (html5, swf) are accepted and not needed: this viewer is the
  // only one.
  function qorvelviewer(options) {
    var start = function () {
      try {
        var viewer = new Viewer(options || {});
        qorvelviewer.viewers.push(viewer);
        return viewer;
      } catch (error) {
        if (global.console) global.console.error(error.message);
        return null;
      }
    };
    if (document.readyState === "loading") {
      var holder = {};
      document.addEventListener("DOMContentLoaded", function () { holder.viewer = start(); });
      return holder;
    }
    return start();
  }

  qorvelviewer.viewers = [];  // every viewer of the page, in the order of the calls
  qorvelviewer.fillUrl = fillUrl;
  qorvelviewer.parseTour = parseTour;
  global.qorvelviewer = qorvelviewer;
})(window);
