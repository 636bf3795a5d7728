
  // ---- opening the tour's files ------------------------------------------------------------
  // Every file of the tour passes through tourCrypto before it is used: the XML as bytes that
  // openXml turns into its text, each image (tiles, preview, thumbnails) as bytes that openImage
  // turns into the bytes of a picture. The urls are the XML's url as the page gave it and an
  // image's url relative to the XML's folder as the XML's templates make it. A rejected promise
  // is a file that cannot be opened. This copy opens plain tours: it passes the bytes through.
  var tourCrypto = {
    openXml: function (buffer, xmlUrl) {
      return Promise.resolve(new TextDecoder("utf-8").decode(buffer));
    },
    openImage: function (buffer, imageUrl) {
      return Promise.resolve(buffer);
    }
  };
