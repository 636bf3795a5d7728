/* qorveltools viewer: shows a tour written by makepano in the browser with WebGL.
 *
 * One plain script without dependencies. Its source is written by concern in viewer/*.js, which
 * the build joins in a fixed order (the top CMakeLists.txt) into this one function scope; the
 * same text is built into makepano. The tour's page loads it and calls
 *
 *   qorvelviewer({xml: "pano.xml", target: "pano"});
 *
 * The viewer asks for that XML first and sets up its drawing while it comes, shows the few pixels
 * of the preview that the XML may carry at once, fetches the blurred preview first and shows it
 * (the part that has come while it comes, where the browser can decode part of a picture, drawn
 * over those few pixels), then the tiles of
 * the level whose resolution fits the screen at the current zoom. Only the tiles in view are
 * loaded (the nearest to the centre first, a few at a time), decoded away from the page's thread
 * and uploaded a few per frame. Textures stay in a store bounded in bytes (least recently used
 * go first), so looking back uploads nothing; a tile the view has passed while it came is kept
 * too unless its transfer is wanted for the view. Tiles of coarser levels and the preview stay
 * under the finer ones while those arrive; a tile that cannot be loaded is tried again, then
 * reported.
 *
 * What it reads (element and attribute names in any case):
 *   - the root element, or several <scene name title thumburl heading> elements in it (one XML
 *     with several scenes gets a scene list; heading, the compass direction of hlookat 0, shows
 *     a compass);
 *   - <hotspot name type h v title text scene url hlookat vlookat fov> in a scene (see
 *     hotspots.js), <autorotate speed delay> in a scene or the root, <controls zoom fullscreen
 *     gyroscope compass> in the root (see controls.js);
 *   - <view hlookat vlookat fov fovmin fovmax limitview hlookatmin hlookatmax vlookatmin
 *     vlookatmax>; limitview is "auto" (the default: partial images keep the view inside the
 *     image), "range" (the lookat limits) or "off";
 *   - <preview url type tiny>: a cube strip of six faces (left, front, right, back, up, down; 1:6
 *     or 6:1), or a spherical (2:1) image, or an image of the panorama's own shape; tiny, the
 *     same picture in a few pixels ("WxH:" and six hex digits rrggbb a pixel, rows from the top),
 *     is drawn at once, before the preview's bytes come;
 *   - <image type hfov vfov voffset multires tilesize baseindex stereo stereolabels frame
 *     prealign> with <level tiledimagewidth tiledimageheight> children, or without levels (one
 *     image per face), and inside them <cube url> (side placeholder %s), <left>, <front>,
 *     <right>, <back>, <up>, <down>, <sphere url>, <cylinder url> or <flat url>.
 * Tile url placeholders: %s cube side (l f r b u d), %t stereo label (the first eye is shown),
 * %v/%y/%r tile row, %h/%x/%u/%c tile column, %l level number (1 = smallest), %f frame; zeros
 * after the % pad the number (%0v gives 01). Tile numbers start at baseindex (default 1). Urls
 * are relative to the XML file.
 *
 * Angles are degrees. hlookat grows to the right, vlookat grows downward (-90 looks straight
 * up), fov is the field of view across the longer side of the window, voffset is the latitude of
 * the image centre (positive above the horizon), prealign is "pitch|heading|roll". Space: x to
 * the right of the front view, y up, z backwards; the front view looks along -z.
 *
 * URL parameters of the page: h (or hlookat), v (or vlookat), fov, scene (name or number), and
 * controls, zoom, fullscreen, gyroscope, compass, autorotate (0 turns one off, 1 on).
 * Controls: drag (mouse or one finger), wheel or pinch to zoom, arrow keys, + and - while the
 * viewer has the focus, and the buttons.
 * The viewer keeps a hidden status element (class "qv-status") whose data attributes tell what
 * it shows and loads (state loading, ready or error; level; tiles drawn, as level/side/row/column
 * from 0; uploads, decodes, failed tiles, black frames, times the loading indicator was shown);
 * tests and benchmarks read it.
 * qorvelviewer.viewers lists the page's viewers (setView, loadScene; onframe, when set, is called
 * after each frame is drawn).
 */
(function (global) {
  "use strict";

