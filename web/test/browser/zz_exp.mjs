import { build, launchBrowser, startPlay, openPlayer } from './support/browser_harness.js';
const browser = await launchBrowser();
const play = startPlay({ core: build.demoCore, content: process.argv[2] === 'sparse' ? build.sparseContent : build.demoContent });
const page = await openPlayer(browser, await play.url);
for (let i = 0; i < 8; i++) {
  await page.waitForTimeout(2000);
  const s = await page.evaluate(() => window.kalmoPlayer.stats.audio);
  const v = await page.evaluate(() => window.kalmoPlayer.stats.video); console.log(v.received, s.framesReceived, performance.now()|0); console.log(JSON.stringify({ u: s.underruns, st: s.stalledUnderruns, si: s.silences, late: s.lateBlocks, max: s.maxLateMs?.toFixed(1), tgt: s.targetMs, buf: s.bufferedMs.toFixed(1), sm: s.smoothedFillMs, dry: s.dryOuts, lc: s.lateCallbacks, cuts: s.cuts, drift: s.drift, blocks: s.blocks }));
}
await browser.close(); await play.stop();
