// Drives headless Chromium through palvex-webfront's page: log in, then check the gain or the
// unreachable host. Settings come from the environment (see the list below); prints one JSON
// line with what it saw and exits 0 when the page did what it should.
import { chromium } from 'playwright-core';
import fs from 'node:fs';
import path from 'node:path';

const need = (name) => {
  const value = process.env[name];
  if (value === undefined || value === '') throw new Error(`${name} is not set`);
  return value;
};

const url = need('WEBFRONT_URL');
const user = need('WEBFRONT_USER');
const secret = need('WEBFRONT_SECRET');
const mode = need('WEBFRONT_MODE');            // "gain", "slow" or "unreachable"
const outputDir = need('WEBFRONT_OUTPUT_DIR');   // screenshots go here
const shotName = need('WEBFRONT_SHOT');          // file name of the screenshot
const userDataDir = need('WEBFRONT_USER_DATA');  // a fresh, empty folder
const executablePath = process.env.CHROMIUM || '/usr/bin/chromium';
const step = 15000;                              // ms for each wait on the page

// The gain as the page shows it, e.g. "-6", "-6.0 dB"; NaN while it shows none.
const shownNumber = (text) => {
  const match = /-?\d+(\.\d+)?/.exec(text || '');
  return match ? Number(match[0]) : NaN;
};

async function waitForGain(page, wanted) {
  await page.waitForFunction(
    ([id, want]) => {
      const match = /-?\d+(\.\d+)?/.exec(document.getElementById(id)?.textContent || '');
      return match !== null && (want === null || Math.abs(Number(match[0]) - want) < 1e-6);
    },
    ['gain', wanted],
    { timeout: step },
  );
  return shownNumber(await page.textContent('#gain'));
}

async function main() {
  fs.mkdirSync(outputDir, { recursive: true });
  const context = await chromium.launchPersistentContext(userDataDir, {
    executablePath,
    headless: true,
    chromiumSandbox: false,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--disable-quic'],
    viewport: { width: 1024, height: 700 },
    timeout: 60000,
  });
  const page = context.pages()[0] || (await context.newPage());
  page.setDefaultTimeout(step);
  const seen = { mode };
  try {
    await page.goto(url, { waitUntil: 'load' });
    await page.fill('#user', user);
    await page.fill('#secret', secret);
    await page.click('#login');

    if (mode === 'gain') {
      const wanted = Number(need('WEBFRONT_GAIN'));
      seen.before = await waitForGain(page, null);
      await page.fill('#gain-input', String(wanted));
      await page.click('#set-gain');
      seen.after = await waitForGain(page, wanted);  // the value the host sent back
    } else if (mode === 'slow') {
      // Each call to the host takes longer than the page's refresh period.
      const delay = Number(need('WEBFRONT_DELAY_MS'));
      let inFlight = 0;
      seen.calls = 0;
      seen.most_at_once = 0;
      await page.route('**/api/config', async (route) => {
        ++inFlight;
        ++seen.calls;
        seen.most_at_once = Math.max(seen.most_at_once, inFlight);
        await new Promise((resolve) => setTimeout(resolve, delay));
        try {
          await route.continue();
        } finally {
          --inFlight;
        }
      });
      await waitForGain(page, null);
      await page.waitForTimeout(3 * delay);
    } else if (mode === 'unreachable') {
      await page.waitForFunction(
        () => /unreachable/i.test(document.getElementById('status')?.textContent || ''),
        null, { timeout: step });
      seen.status = (await page.textContent('#status')).trim();
    } else {
      throw new Error(`unknown WEBFRONT_MODE ${mode}`);
    }
    await page.screenshot({ path: path.join(outputDir, shotName), fullPage: true });
    console.log(JSON.stringify(seen));
  } catch (error) {
    await page.screenshot({ path: path.join(outputDir, 'failed-' + shotName), fullPage: true })
      .catch(() => {});
    seen.error = String(error && error.message ? error.message : error);
    seen.page = await page.content().catch(() => '');
    console.log(JSON.stringify(seen));
    process.exitCode = 1;
  } finally {
    await context.close();
  }
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
