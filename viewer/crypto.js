/* qorveltools viewer: opens tour files sealed by `qorveltools encrypt`.
 *
 * One piece of the viewer's scope; defines tourCrypto there, with two functions:
 *   tourCrypto.openXml(buffer, xmlUrl)     -> Promise<string>       the XML text
 *   tourCrypto.openImage(buffer, imageUrl) -> Promise<ArrayBuffer>  the image bytes
 * Plain files pass through. A sealed XML in password mode shows a password prompt (a DOM overlay)
 * until the right password is typed; obfuscation mode opens without one. Keys are derived with
 * WebCrypto (PBKDF2-SHA256 to a non-extractable AES-GCM key), kept in memory for the page, one
 * per salt - the password itself is never kept.
 *
 * The sealed file (all integers big-endian):
 *   0 magic "QVEF" | 4 version 1 | 5 mode (1 password, 2 obfuscation) | 6 two zero bytes |
 *   8 PBKDF2 iterations | 12 salt (16) | 28 key check (16) | 44 GCM nonce (12) |
 *   56 ciphertext | last 16 bytes GCM tag.
 * The key check is the GCM tag of an empty text under the all-zero nonce with the additional data
 * "qorveltools key check": it tells a wrong password from an altered file. The additional data of
 * a file is its 56 header bytes followed by its path within the tour: the XML's file name, and an
 * image's url as written in the XML (placeholders filled) normalised - backslashes become "/",
 * empty and "." parts go, "dir/.." pairs collapse.
 *
 * Obfuscation mode derives its key from a password written below: it is NOT confidentiality, only
 * a deterrent against casual copying and hot-linking.
 */
var tourCrypto = (function (global) {
  "use strict";

  var OBFUSCATION_PASSWORD = "qorveltools obfuscation - this is not a secret";
  var KEY_CHECK_LABEL = "qorveltools key check";
  var HEADER_SIZE = 56, TAG_SIZE = 16;
  var MIN_ITERATIONS = 1000, MAX_ITERATIONS = 10000000;

  var TEXT = {
    title: "This tour is protected",
    ask: "Enter the password to open it.",
    label: "Password",
    open: "Open",
    working: "Opening\u2026",
    wrong: "Wrong password - please try again.",
    damaged: "This file is damaged or was altered and cannot be opened: %s",
    unknown: "This file uses an encryption format this viewer does not read: %s",
    insecure: "This page cannot decrypt the tour: open it over HTTPS or from localhost.",
    tileDamaged: "Damaged or altered file: %s"
  };

  var STYLE =
    ".qv-crypto-overlay{position:fixed;inset:0;display:flex;align-items:center;justify-content:center;" +
    "background:rgba(0,0,0,.75);z-index:2147483000;font:16px sans-serif}" +
    ".qv-crypto-box{background:#fff;color:#111;padding:24px;border-radius:8px;min-width:280px;max-width:90vw}" +
    ".qv-crypto-box h2{margin:0 0 8px;font-size:20px}" +
    ".qv-crypto-box input{font:inherit;padding:6px;margin:8px 0;width:100%;box-sizing:border-box}" +
    ".qv-crypto-box button{font:inherit;padding:6px 16px}" +
    ".qv-crypto-box button:focus,.qv-crypto-box input:focus{outline:3px solid #1a73e8}" +
    ".qv-crypto-error{color:#b00020;min-height:1.3em;margin:6px 0}" +
    ".qv-crypto-notice{position:fixed;left:8px;bottom:8px;max-width:90vw;background:#b00020;color:#fff;" +
    "padding:6px 10px;border-radius:4px;font:14px sans-serif;z-index:2147483001}";

  var encoder = new TextEncoder();
  var keys = new Map();  // "mode:iterations:salt" -> Promise<CryptoKey>

  function format(text, value) { return text.replace("%s", value); }

  function cryptoError(kind, message) {
    var error = new Error(message);
    error.name = kind;  // "damaged", "unknown", "insecure", "wrong"
    return error;
  }

  function isSealed(bytes) {
    return bytes.length >= 4 && bytes[0] === 0x51 && bytes[1] === 0x56 && bytes[2] === 0x45 &&
           bytes[3] === 0x46;
  }

  // The header fields, or an error kind: "unknown" for another version or mode, "damaged" for a
  // file too short to hold a header and a tag.
  function readHeader(bytes, name) {
    if (bytes.length >= 5 && bytes[4] !== 1) throw cryptoError("unknown", format(TEXT.unknown, name));
    if (bytes.length < HEADER_SIZE + TAG_SIZE) throw cryptoError("damaged", format(TEXT.damaged, name));
    var view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    var mode = bytes[5], iterations = view.getUint32(8);
    if ((mode !== 1 && mode !== 2) || bytes[6] || bytes[7] || iterations < MIN_ITERATIONS ||
        iterations > MAX_ITERATIONS)
      throw cryptoError("unknown", format(TEXT.unknown, name));
    return {mode: mode, iterations: iterations, salt: bytes.slice(12, 28),
            keyCheck: bytes.slice(28, 44), nonce: bytes.slice(44, 56)};
  }

  function keyName(header) {
    return header.mode + ":" + header.iterations + ":" + Array.prototype.join.call(header.salt, ",");
  }

  // Backslashes become "/", empty and "." parts go, "dir/.." pairs collapse.
  function normalisePath(path) {
    var parts = [];
    path.replace(/\\/g, "/").split("/").forEach(function (part) {
      if (!part || part === ".") return;
      if (part === ".." && parts.length && parts[parts.length - 1] !== "..") parts.pop();
      else parts.push(part);
    });
    return parts.join("/");
  }

  function subtle() {
    if (!global.isSecureContext || !global.crypto || !global.crypto.subtle)
      throw cryptoError("insecure", TEXT.insecure);
    return global.crypto.subtle;
  }

  function deriveKey(password, header) {
    var s = subtle();
    return s.importKey("raw", encoder.encode(password), "PBKDF2", false, ["deriveKey"])
      .then(function (base) {
        return s.deriveKey({name: "PBKDF2", hash: "SHA-256", salt: header.salt,
                            iterations: header.iterations},
                           base, {name: "AES-GCM", length: 256}, false, ["encrypt", "decrypt"]);
      });
  }

  // Resolves the key when it matches the header's key check, else null.
  function checkedKey(key, header) {
    return subtle().encrypt({name: "AES-GCM", iv: new Uint8Array(12),
                             additionalData: encoder.encode(KEY_CHECK_LABEL), tagLength: 128},
                            key, new Uint8Array(0))
      .then(function (tag) {
        var bytes = new Uint8Array(tag), same = bytes.length === 16;
        for (var i = 0; same && i < 16; i++) same = bytes[i] === header.keyCheck[i];
        return same ? key : null;
      });
  }

  function decrypt(key, bytes, path, name) {
    var header = bytes.subarray(0, HEADER_SIZE), pathBytes = encoder.encode(path);
    var data = new Uint8Array(HEADER_SIZE + pathBytes.length);
    data.set(header, 0);
    data.set(pathBytes, HEADER_SIZE);
    return subtle().decrypt({name: "AES-GCM", iv: bytes.slice(44, 56), additionalData: data,
                             tagLength: 128}, key, bytes.subarray(HEADER_SIZE))
      .catch(function () { throw cryptoError("damaged", format(TEXT.damaged, name)); });
  }

  // ---- the password prompt -------------------------------------------------------------------

  function addStyle() {
    if (document.getElementById("qv-crypto-style")) return;
    var style = document.createElement("style");
    style.id = "qv-crypto-style";
    style.textContent = STYLE;
    document.head.appendChild(style);
  }

  // Shows the prompt until check(password) resolves a key (null: wrong password). Resolves the key;
  // rejects when check rejects (the message stays on the overlay).
  function prompt(check) {
    addStyle();
    return new Promise(function (resolve, reject) {
      var overlay = document.createElement("div");
      overlay.className = "qv-crypto-overlay";
      overlay.innerHTML =
        '<form class="qv-crypto-box" role="dialog" aria-modal="true" aria-labelledby="qv-crypto-title"' +
        ' aria-describedby="qv-crypto-ask">' +
        '<h2 id="qv-crypto-title"></h2><p id="qv-crypto-ask"></p>' +
        '<label for="qv-crypto-password"></label>' +
        '<input id="qv-crypto-password" type="password" autocomplete="current-password" required>' +
        '<div class="qv-crypto-error" role="alert" aria-live="assertive"></div>' +
        '<button type="submit"></button></form>';
      var form = overlay.firstChild, input = overlay.querySelector("input");
      var error = overlay.querySelector(".qv-crypto-error"), button = overlay.querySelector("button");
      overlay.querySelector("h2").textContent = TEXT.title;
      overlay.querySelector("p").textContent = TEXT.ask;
      overlay.querySelector("label").textContent = TEXT.label;
      button.textContent = TEXT.open;
      form.addEventListener("submit", function (event) {
        event.preventDefault();
        var password = input.value;
        input.value = "";
        input.disabled = button.disabled = true;
        error.textContent = TEXT.working;
        Promise.resolve().then(function () { return check(password); }).then(function (key) {
          if (key) {
            overlay.remove();
            resolve(key);
            return;
          }
          error.textContent = TEXT.wrong;
          input.disabled = button.disabled = false;
          input.focus();
        }, function (failure) {
          error.textContent = failure.message;
          reject(failure);
        });
      });
      document.body.appendChild(overlay);
      input.focus();
    });
  }

  // The key of a header: known already, derived from the built-in password (obfuscation), or
  // asked for. Password-mode keys of a salt not met yet bring the prompt up (once per salt).
  function keyFor(header, bytes, path, name, firstCheck) {
    var id = keyName(header);
    if (!keys.has(id)) {
      var promise;
      if (header.mode === 2) {
        promise = deriveKey(OBFUSCATION_PASSWORD, header).then(function (key) {
          return checkedKey(key, header);
        }).then(function (key) {
          if (!key) throw cryptoError("damaged", format(TEXT.damaged, name));
          return key;
        });
      } else {
        promise = prompt(function (password) {
          return deriveKey(password, header).then(function (key) {
            return checkedKey(key, header);
          }).then(function (key) {
            // With the right key the file itself must open, else it was altered: that message
            // shows on the prompt.
            return key && firstCheck ? firstCheck(key).then(function () { return key; }) : key;
          });
        });
      }
      promise.catch(function () { keys.delete(id); });
      keys.set(id, promise);
    }
    return keys.get(id);
  }

  function showNotice(text) {
    addStyle();
    var notice = document.querySelector(".qv-crypto-notice");
    if (!notice) {
      notice = document.createElement("div");
      notice.className = "qv-crypto-notice";
      notice.setAttribute("role", "status");
      document.body.appendChild(notice);
    }
    notice.textContent = text;
  }

  function openSealed(buffer, path, name, isXml) {
    var bytes = new Uint8Array(buffer);
    return Promise.resolve().then(function () {
      var header = readHeader(bytes, name), opened = null;
      var first = function (key) {
        return decrypt(key, bytes, path, name).then(function (plain) { opened = plain; });
      };
      return keyFor(header, bytes, path, name, isXml ? first : null).then(function (key) {
        return opened || decrypt(key, bytes, path, name);
      });
    });
  }

  function fileName(url) {
    var clean = String(url).split(/[?#]/)[0];
    try { clean = decodeURIComponent(clean); } catch (e) {}
    return clean.substring(clean.lastIndexOf("/") + 1);
  }

  return {
    openXml: function (buffer, xmlUrl) {
      var bytes = new Uint8Array(buffer);
      if (!isSealed(bytes)) return Promise.resolve(new TextDecoder("utf-8").decode(bytes));
      var name = fileName(xmlUrl);
      return openSealed(buffer, normalisePath(name), name, true).then(function (plain) {
        return new TextDecoder("utf-8").decode(plain);
      });
    },
    openImage: function (buffer, imageUrl) {
      if (!isSealed(new Uint8Array(buffer))) return Promise.resolve(buffer);
      var path = normalisePath(String(imageUrl).split(/[?#]/)[0]);
      return openSealed(buffer, path, path, false).catch(function (error) {
        showNotice(error.name === "damaged" ? format(TEXT.tileDamaged, path) : error.message);
        throw error;
      });
    }
  };
})(typeof window !== "undefined" ? window : self);
