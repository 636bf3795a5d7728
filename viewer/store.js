
  // ---- the texture store -------------------------------------------------------------------
  // The tiles of every scene shown, by key, in the order of their last use (a Map keeps the
  // order of insertion; a use moves the entry to the end). Uploaded textures count with their
  // bytes; when they exceed the limit the least recently used ones are released, except those
  // the current view needs. Tiles that leave the view stay, so that looking back uploads nothing.
  function TextureStore(limit) {
    this.limit = limit;
    this.bytes = 0;
    this.entries = new Map();
  }

  TextureStore.prototype.get = function (key) { return this.entries.get(key); };

  // Marks an entry as just used.
  TextureStore.prototype.touch = function (key) {
    var entry = this.entries.get(key);
    if (entry) { this.entries.delete(key); this.entries.set(key, entry); }
    return entry;
  };

  TextureStore.prototype.add = function (key, entry) {
    this.entries.set(key, entry);
  };

  TextureStore.prototype.resized = function (entry, bytes) {
    this.bytes += bytes - (entry.bytes || 0);
    entry.bytes = bytes;
  };

  TextureStore.prototype.remove = function (key, release) {
    var entry = this.entries.get(key);
    if (!entry) return;
    this.entries.delete(key);
    this.bytes -= entry.bytes || 0;
    entry.bytes = 0;
    release(entry);
  };

  // Releases the least recently used entries while the bytes exceed the limit; keep(entry) true
  // spares an entry.
  TextureStore.prototype.trim = function (keep, release) {
    if (this.bytes <= this.limit) return;
    var self = this;
    var victims = [];
    var excess = this.bytes - this.limit;
    this.entries.forEach(function (entry, key) {
      if (excess <= 0 || !entry.bytes || keep(entry)) return;
      excess -= entry.bytes;
      victims.push(key);
    });
    victims.forEach(function (key) { self.remove(key, release); });
  };

  TextureStore.prototype.forEach = function (visit) { this.entries.forEach(visit); };

  TextureStore.prototype.clear = function (release) {
    this.entries.forEach(function (entry) { release(entry); });
    this.entries.clear();
    this.bytes = 0;
  };
