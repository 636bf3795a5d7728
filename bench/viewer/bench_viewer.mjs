// Drives headless Chromium (SwiftShader) over puppeteer-core on the three viewers' pages and
// prints one table. For each viewer and fov (90 and 30):
//   - a fixed drag script once the view is loaded (for every viewer: no request left for 500 ms,
//     and for ours also its status "ready"): the mouse held at the centre, moved 320 px right
//     and back in 8-px steps every 16 ms, twice (the second sweep covers ground already seen);
//     the intervals between animation frames during the drag give the median, the 95th
//     percentile and the number of slow frames (an interval over 1.5 times the median: a frame
//     missed), long tasks (over 50 ms) are counted and the longest given, and texture uploads
//     (texImage2D and texSubImage2D calls) are counted per sweep: "uploads 2nd" is the number of
//     uploads while looking back at what the first sweep showed;
//   - a load over a throttled link (150 ms latency, 1.6 Mbit/s), times from the start of the
//     page's navigation: the arrival of the first image (the responseEnd of its resource timing
//     entry: the preview for our viewer, the first tile for the peers), the first frame that is
//     not black, and the black frames between the first picture and the complete view. The
//     canvas is sampled at the start of each animation frame, before the viewer's own callback,
//     so a picture is seen in the frame after the one that drew it (alike for every viewer): the
//     time given is that frame's start, about when the picture drawn before reached the screen.
//   node bench_viewer.mjs ADDRESS CHROMIUM NPM_FOLDER
import {createRequire} from "node:module";
const [address, chromium, npmFolder] = process.argv.slice(2);
const puppeteer = createRequire(npmFolder + "/package.json")("puppeteer-core");

const WIDTH = 960, HEIGHT = 540;
// QV_BENCH_VIEWERS=qorveltools,marzipano measures only those.
const viewers = [
  {name: "qorveltools", page: "moon.html"},
  {name: "pannellum", page: "pannellum.html"},
  {name: "marzipano", page: "marzipano.html"},
].filter((v) => !process.env.QV_BENCH_VIEWERS || process.env.QV_BENCH_VIEWERS.split(",").includes(v.name));

// Page instrumentation, installed before the page's own scripts: upload counting, long tasks,
// frame times, and for the load measure a drawing buffer that can be read after each frame.
const instrument = (readable) => {
  window.__bench = {uploads: 0, longTasks: [], frames: [], sampling: false, firstPicture: -1,
                    blackAfterPicture: 0};
  // Room for every tile a viewer fetches (the default keeps 250 entries).
  performance.setResourceTimingBufferSize(5000);
  for (const proto of [WebGLRenderingContext.prototype,
                       window.WebGL2RenderingContext && WebGL2RenderingContext.prototype]) {
    if (!proto) continue;
    for (const name of ["texImage2D", "texSubImage2D"]) {
      const original = proto[name];
      proto[name] = function () { window.__bench.uploads++; return original.apply(this, arguments); };
    }
  }
  if (readable) {
    const getContext = HTMLCanvasElement.prototype.getContext;
    HTMLCanvasElement.prototype.getContext = function (type, attributes) {
      if (/webgl/.test(type)) attributes = Object.assign({}, attributes, {preserveDrawingBuffer: true});
      return getContext.call(this, type, attributes);
    };
  }
  new PerformanceObserver((list) => {
    for (const entry of list.getEntries()) window.__bench.longTasks.push(entry.duration);
  }).observe({type: "longtask", buffered: true});
  const probe = document.createElement("canvas");
  probe.width = 16; probe.height = 9;
  const frame = (time) => {
    const b = window.__bench;
    b.frames.push(time);
    if (b.sampling) {
      const canvas = [...document.querySelectorAll("canvas")].find((c) => c.width > 100);
      if (canvas) {
        const context = probe.getContext("2d", {willReadFrequently: true});
        context.drawImage(canvas, 0, 0, 16, 9);
        const data = context.getImageData(0, 0, 16, 9).data;
        let sum = 0;
        for (let i = 0; i < data.length; i += 4) sum += Math.max(data[i], data[i + 1], data[i + 2]);
        const black = sum / (data.length / 4) < 8;
        if (!black && b.firstPicture < 0) b.firstPicture = time;
        if (black && b.firstPicture >= 0) b.blackAfterPicture++;
      }
    }
    requestAnimationFrame(frame);
  };
  requestAnimationFrame(frame);
};

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function percentile(values, p) {
  const sorted = [...values].sort((a, b) => a - b);
  if (!sorted.length) return NaN;
  return sorted[Math.min(sorted.length - 1, Math.floor(p * (sorted.length - 1) + 0.5))];
}

// Until the view is complete: for every viewer until no request is left for 500 ms (network
// idle, at most 30 s; tiles fetched ahead of the view are then in too), and for ours also until
// its status says so.
async function settled(page, viewer) {
  if (viewer.name === "qorveltools") {
    await page.waitForFunction(() => {
      const s = document.querySelector(".qv-status");
      return s && s.dataset.state === "ready";
    }, {timeout: 30000, polling: 50});
  }
  await page.waitForNetworkIdle({idleTime: 500, timeout: 30000}).catch(() => {});
}

async function drag(page) {
  const x = WIDTH / 2, y = HEIGHT / 2;
  await page.mouse.move(x, y);
  await page.mouse.down();
  const uploads = [];
  for (let sweep = 0; sweep < 2; sweep++) {
    const before = await page.evaluate(() => window.__bench.uploads);
    // Out to 320 px right of the centre and back to it.
    for (const outward of [true, false]) {
      for (let step = 1; step <= 40; step++) {
        await page.mouse.move(x + (outward ? step : 40 - step) * 8, y);
        await sleep(16);
      }
    }
    uploads.push(await page.evaluate(() => window.__bench.uploads) - before);
  }
  await page.mouse.up();
  return uploads;
}

const browser = await puppeteer.launch({
  executablePath: chromium, headless: true,
  args: ["--no-sandbox", "--use-gl=angle", "--use-angle=swiftshader", "--enable-unsafe-swiftshader",
         "--disable-dev-shm-usage", "--hide-scrollbars", `--window-size=${WIDTH},${HEIGHT}`],
});
const rows = [];
try {
  for (const viewer of viewers) {
    for (const fov of [90, 30]) {
      const page = await browser.newPage();
      await page.setViewport({width: WIDTH, height: HEIGHT});
      await page.evaluateOnNewDocument(instrument, false);
      await page.goto(`${address}/${viewer.page}?fov=${fov}`);
      await settled(page, viewer);
      await sleep(300);
      await page.evaluate(() => { window.__bench.frames = []; window.__bench.longTasks = []; });
      const uploads = await drag(page);
      const result = await page.evaluate(() => window.__bench);
      const intervals = result.frames.slice(1).map((t, i) => t - result.frames[i]);
      const long = result.longTasks.filter((d) => d > 50);
      const median = percentile(intervals, 0.5);
      rows.push({viewer: viewer.name, fov, median, p95: percentile(intervals, 0.95),
                 slow: intervals.filter((t) => t > 1.5 * median).length,
                 frames: intervals.length, longTasks: long.length,
                 longest: long.length ? Math.max(...long) : 0, uploads1: uploads[0],
                 uploads2: uploads[1]});
      await page.close();
    }
    // The throttled load at fov 90.
    const page = await browser.newPage();
    await page.setViewport({width: WIDTH, height: HEIGHT});
    await page.setCacheEnabled(false);
    const cdp = await page.createCDPSession();
    await cdp.send("Network.enable");
    await cdp.send("Network.emulateNetworkConditions", {offline: false, latency: 150,
      downloadThroughput: 1.6e6 / 8, uploadThroughput: 1.6e6 / 8});
    await page.evaluateOnNewDocument(instrument, true);
    await page.evaluateOnNewDocument(() => { window.__bench.sampling = true; });
    await page.goto(`${address}/${viewer.page}?fov=90`);
    await settled(page, viewer);
    const load = await page.evaluate(() => {
      const images = performance.getEntriesByType("resource").filter((e) => /[.]jpg/.test(e.name));
      const preview = images.find((e) => /preview/.test(e.name));
      const first = preview || images.sort((a, b) => a.responseEnd - b.responseEnd)[0];
      return {firstPicture: window.__bench.firstPicture, firstImage: first ? first.responseEnd : NaN,
              black: window.__bench.blackAfterPicture, images: images.length};
    });
    Object.assign(rows.find((r) => r.viewer === viewer.name && r.fov === 90), load);
    await page.close();
  }
} finally {
  await browser.close();
}

const f = (x, d = 1) => (Number.isFinite(x) ? x.toFixed(d) : "-");
console.log("| viewer | fov | median ms | p95 ms | slow frames | long tasks (longest ms) | " +
            "uploads 1st / 2nd sweep | throttled: first image ms | first non-black frame ms | " +
            "black frames | images |");
console.log("|---|---|---|---|---|---|---|---|---|---|---|");
for (const r of rows) {
  console.log(`| ${r.viewer} | ${r.fov} | ${f(r.median)} | ${f(r.p95)} | ${r.slow} of ${r.frames} | ` +
              `${r.longTasks} (${f(r.longest, 0)}) | ` +
              `${r.uploads1} / ${r.uploads2} | ${f(r.firstImage, 0)} | ${f(r.firstPicture, 0)} | ` +
              `${r.black ?? "-"} | ${r.images ?? "-"} |`);
}
