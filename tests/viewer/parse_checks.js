// Checks of the viewer's url placeholders and XML reading, run in a page that loaded the viewer.
// One expression: "ok", or one line per case that failed.
(function () {
  var failed = [];
  function expect(name, found, wanted) {
    if (JSON.stringify(found) !== JSON.stringify(wanted)) {
      failed.push(name + ": " + JSON.stringify(found) + " instead of " + JSON.stringify(wanted));
    }
  }
  function within(name, found, wanted) {
    if (!(Math.abs(found - wanted) < 1e-6)) failed.push(name + ": " + found + " instead of " + wanted);
  }
  var fill = qorvelviewer.fillUrl;
  expect("padded row, column, level, side", fill("l%l/%s/%0v_%00h.jpg",
      {side: "f", row: 3, column: 12, level: 2}), "l2/f/03_012.jpg");
  expect("letter forms", fill("%y-%x-%u-%r-%c-%Y-%z-%", {row: 1, column: 2}), "1-2-2-1-2-1-%z-%");
  expect("eye and frame", fill("%t/%s_%0f", {eye: "L", side: "u", frame: 7}), "L/u_07");
  expect("escapes stay", fill("a%20b%0A.jpg", {row: 1}), "a%20b%0A.jpg");

  var base = "http://example.invalid/tour/pano.xml";
  function image(xml) {
    var scenes = qorvelviewer.parseTour(xml, base);
    return scenes.length ? scenes[0].image : null;
  }
  var sides = ["left", "front", "right", "back", "up", "down"];
  function sideElements(prefix) {
    return sides.map(function (side) {
      return "<" + side + " url=\"" + prefix + side.charAt(0) + "_%t_%v.jpg\" />";
    }).join("");
  }

  // Six side elements, stereo, tiles numbered from 0, levels written smallest first.
  var stereo = image("<qorvel><image type=\"CUBE\" stereo=\"true\" stereolabels=\"L|R\"" +
      " multires=\"true\" tilesize=\"512\" baseindex=\"0\">" +
      "<level tiledimagewidth=\"500\" tiledimageheight=\"500\">" + sideElements("s") + "</level>" +
      "<level tiledimagewidth=\"1000\" tiledimageheight=\"1000\">" + sideElements("b") +
      "</level></image></qorvel>");
  expect("stereo cube", [stereo.shape, stereo.eye, stereo.baseindex, stereo.tilesize],
         ["cube", "L", 0, 512]);
  expect("levels largest first", stereo.levels.map(function (l) {
    return [l.width, l.number, l.sources.urls[1]];
  }), [[1000, 2, "bf_%t_%v.jpg"], [500, 1, "sf_%t_%v.jpg"]]);

  // One cube element with the side placeholder; no type word.
  var short = image("<qorvel><image><level tiledimagewidth=\"800\" tiledimageheight=\"800\">" +
      "<cube url=\"t/%s/%v_%h.jpg\" /></level></image></qorvel>");
  expect("short syntax", [short.shape, short.levels[0].sources.urls[4], short.baseindex],
         ["cube", "t/u/%v_%h.jpg", 1]);

  // Flat and cylinder images both carry the cylinder type word.
  var flat = image("<qorvel><image type=\"CYLINDER\" hfov=\"90.00\" vfov=\"67.500000\"" +
      " voffset=\"0.00\" multires=\"true\" tilesize=\"500\"><level tiledimagewidth=\"4000\"" +
      " tiledimageheight=\"3000\"><cylinder url=\"f/%v_%h.jpg\" /></level></image></qorvel>");
  expect("flat", [flat.shape, flat.hfov, flat.vfov], ["flat", 90, 67.5]);
  within("flat half width", flat.halfWidth, 1);
  within("flat half height", flat.halfHeight, 0.75);
  var cylinderVfov = 2 * Math.atan(1500 * (120 * Math.PI / 180) / 4000) * 180 / Math.PI;
  var cylinder = image("<qorvel><image type=\"CYLINDER\" hfov=\"120.00\" vfov=\"" +
      cylinderVfov.toFixed(6) + "\" voffset=\"5.00\"><level tiledimagewidth=\"4000\"" +
      " tiledimageheight=\"3000\"><cylinder url=\"c.jpg\" /></level></image></qorvel>");
  expect("cylinder", [cylinder.shape, cylinder.hfov, cylinder.voffset], ["cylinder", 120, 5]);
  within("cylinder vfov", cylinder.vfov, +cylinderVfov.toFixed(6));

  // A 360-degree partial sphere is written without hfov and vfov: they follow from the size.
  var partial = image("<qorvel><image type=\"SPHERE\" multires=\"true\" tilesize=\"500\">" +
      "<level tiledimagewidth=\"4000\" tiledimageheight=\"1000\"><sphere url=\"p.jpg\" />" +
      "</level></image></qorvel>");
  expect("partial sphere", [partial.shape, partial.hfov, partial.vfov, partial.full],
         ["sphere", 360, 90, false]);
  var whole = image("<qorvel><image><sphere url=\"pano.jpg\" /></image></qorvel>");
  expect("sphere without levels", [whole.shape, whole.levels.length, whole.levels[0].width,
                                   whole.full], ["sphere", 1, 0, true]);

  // Scenes with their views, previews and thumbnails.
  var scenes = qorvelviewer.parseTour("<qorvel>" +
      "<scene name=\"scene_a\" title=\"A &amp; B\" thumburl=\"a.tiles/thumb.jpg\">" +
      "<view hlookat=\"12.5\" vlookat=\"-3.0\" fov=\"70\" limitview=\"range\"" +
      " vlookatmin=\"-75.000\" vlookatmax=\"75.000\" />" +
      "<preview url=\"a.tiles/preview.jpg\" />" +
      "<image><sphere url=\"a.jpg\" /></image></scene>" +
      "<scene name=\"scene_b\"><image><cube url=\"b_%s.jpg\" /></image></scene>" +
      "<scene name=\"empty\"></scene></qorvel>", base);
  expect("scenes", scenes.map(function (s) { return [s.name, s.title]; }),
         [["scene_a", "A & B"], ["scene_b", "scene_b"]]);
  var view = scenes[0].view;
  expect("scene view", [view.hlookat, view.vlookat, view.fov, view.limitview, view.vlookatmin,
                        view.vlookatmax], [12.5, -3, 70, "range", -75, 75]);
  expect("scene urls", [scenes[0].thumb, scenes[0].preview.url, scenes[1].preview],
         ["http://example.invalid/tour/a.tiles/thumb.jpg",
          "http://example.invalid/tour/a.tiles/preview.jpg", null]);
  expect("default view", [scenes[1].view.fov, scenes[1].view.limitview], [90, "auto"]);

  // The preview's few pixels: size, then six hex digits a pixel; anything else is left aside.
  [["2x1:ff800001FE7f", {width: 2, height: 1, pixels: [255, 128, 0, 1, 254, 127]}],
   ["2x1:ff8000", null], ["0x1:", null], ["2x1;ff800001fe7f", null], [null, null]
  ].forEach(function (row) {
    var tiny = qorvelviewer.parseTour("<qorvel><preview url=\"p.jpg\"" +
        (row[0] === null ? "" : " tiny=\"" + row[0] + "\"") + " /><image><cube url=\"%s.jpg\" />" +
        "</image></qorvel>", base)[0].preview.tiny;
    if (tiny) tiny = {width: tiny.width, height: tiny.height, pixels: Array.from(tiny.pixels)};
    expect("tiny " + row[0], tiny, row[1]);
  });

  expect("no image", qorvelviewer.parseTour("<qorvel><view /></qorvel>", base).length, 0);
  var thrown = "";
  try { qorvelviewer.parseTour("<qorvel><image>", base); } catch (e) { thrown = e.message; }
  expect("broken XML", thrown.indexOf("not well-formed XML") === 0, true);

  return failed.length ? failed.join("\n") : "ok";
})()
