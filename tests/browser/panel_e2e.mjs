#!/usr/bin/env node
// The Quorvel control panel end to end: the real quillfen binary serves a
// throw-away copy of the demo product directory and headless Chromium uses
// the panel as an administrator would: tabs, Basic Setup Save and Restore,
// Start (status, channels, log tails) and Stop of the stand-in service.
// Usage: node panel_e2e.mjs QUILLFEN_BINARY PRODUCT_DIR; QF_CHROMIUM
// overrides /usr/bin/chromium. Exit status 0 when every step passed.

import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

const [binary, templateDir] = process.argv.slice(2, 4).map((a) => path.resolve(a || ''));
const chromiumPath = process.env.QF_CHROMIUM || '/usr/bin/chromium';
// The service's fixed status files: the panel reads them, the stand-ins write them.
const PID_FILES = { service: '/tmp/DrevantaQuorvel', guard: '/tmp/DrevantaGuardQuorvel' };
const STANDINS = ['drevanta_guard', 'drevantaquorvel'];
// The page is rewritten every 8 s (10 while the service runs), the wait page
// goes back after 9 s and a Stop of a running service takes 5 s.
const STATE_MS = 60_000;
// Under the CTest timeout, so that the cleanup still runs when a step hangs.
const WATCHDOG_MS = 210_000;

let passed = 0;
let failed = 0;
const log = (msg) => console.log(`[${new Date().toISOString().slice(11, 19)}] ${msg}`);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
function assert(cond, msg) {
  if (!cond) throw new Error(msg);
}
function fail(name, e) {
  failed++;
  log(`FAIL - ${name}: ${e && e.message ? e.message : e}`);
}

// Calls fn (which may throw) until it returns a truthy value; last() tells the
// state seen when the deadline passes.
async function pollUntil(what, ms, fn, last = () => '', every = 500) {
  for (const deadline = Date.now() + ms; ; await sleep(every)) {
    const value = await Promise.resolve().then(fn).catch((e) => (Date.now() > deadline ? Promise.reject(e) : null));
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what} (last: ${await last()})`);
  }
}

function readPid(file) {
  try {
    return fs.readFileSync(file)[`readInt32${os.endianness()}`](0);
  } catch {
    return null;
  }
}

function exeOf(pid) {   // null when no such process
  try {
    return pid > 0 ? fs.readlinkSync(`/proc/${pid}/exe`) : null;
  } catch {
    return null;
  }
}

// Processes running a program from dir: only the stand-ins our own server started.
function processesUnder(dir) {
  return fs.readdirSync('/proc').filter((n) => /^\d+$/.test(n) && (exeOf(Number(n)) || '').startsWith(dir + '/'))
    .map(Number);
}

const freePort = () => new Promise((resolve, reject) => {
  const srv = net.createServer().on('error', reject);
  srv.listen(0, '127.0.0.1', () => {
    const { port } = srv.address();
    srv.close(() => resolve(port));
  });
});

function startServer(product, port) {
  const args = ['-root', product + '/', '-ports', String(port), '-access_log', path.join(path.dirname(product), 'access.log')];
  const child = spawn(binary, args, {
    env: { ...process.env, DREVANTA_BIN: product + '/' },
    cwd: path.dirname(product),
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  const server = { child, out: '', err: '', exited: false, code: null };
  child.stdout.on('data', (d) => { server.out += d; });
  child.stderr.on('data', (d) => { server.err += d; });
  // 'exit', not 'close': a started guard inherits the server's standard error.
  child.on('exit', (code, signal) => Object.assign(server, { exited: true, code: code ?? signal }));
  child.on('error', (e) => Object.assign(server, { exited: true, code: e.message }));
  return server;
}

const statusText = (page) => page.locator('#statuslineid').getAttribute('value');
const showTab = (page, title) => page.locator('ul.tabnav a', { hasText: title }).click();

// Loads the panel page until check(page) holds: the refresh thread rewrites it.
async function reloadUntil(page, url, what, check) {
  let last = '';
  await pollUntil(what, STATE_MS, async () => {
    const code = (await page.goto(url, { waitUntil: 'load' }))?.status();
    last = code === 200 ? `status "${await statusText(page)}"` : `HTTP ${code}`;
    return code === 200 && check(page);
  }, () => last, 1000);
}

// Submits a form with button; its answer is the wait page, which goes back to the panel.
async function submit(page, button) {
  await Promise.all([page.waitForURL(/\/drevanta_gui_busy\.html$/, { timeout: 30_000 }), button.click()]);
  assert((await page.locator('body').innerText()).includes('Please wait while your request is being processed'),
    'the answer to the form is not the wait page');
  await page.waitForURL(/\/drevanta_gui\.html$/, { timeout: 30_000 });
}

async function control(page, value) {
  await showTab(page, 'Control Panel');
  await submit(page, page.locator(`button[name="controlbutton"][value="${value}"]`));
}

async function main() {
  const { chromium } = await import('playwright-core');
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'quillfen-e2e-'));
  const product = path.join(tmp, 'product');
  fs.cpSync(templateDir, product, { recursive: true });
  fs.mkdirSync(path.join(tmp, 'log'));   // the application log goes to BIN/../log
  for (const f of ['drevanta_gui.html', 'drevanta_gui_busy.html', 'tmp_drevanta_gui.html', '_tmp_quorvel.conf'])
    fs.rmSync(path.join(product, f), { force: true });   // a demo run's pages must not pass for ours
  const conf = path.join(product, 'quorvel.conf');
  const port = await freePort();
  const url = `http://127.0.0.1:${port}/drevanta_gui.html`;
  let server = null;
  let context = null;
  let page = null;

  const cleanup = async () => {
    if (server && !server.exited && processesUnder(product).length > 0) {   // Stop, as an administrator would
      const headers = { 'Content-Type': 'application/x-www-form-urlencoded' };
      await fetch(`http://127.0.0.1:${port}/drevanta_gui_busy.html`, { method: 'POST', headers, body: 'controlbutton=Stop' })
        .then((r) => r.text()).catch((e) => log(`the Stop post failed: ${e.message}`));
    }
    const left = await pollUntil('the stand-ins to end', 15_000, () => processesUnder(product).length === 0)
      .then(() => [], () => processesUnder(product));
    if (left.length > 0) {
      fail('no stand-in outlives the test', `still running: ${left.join(', ')}`);
      for (const pid of left) {   // programs of our own copy only
        try { process.kill(pid, 'SIGKILL'); } catch { /* gone meanwhile */ }
      }
    }
    if (context) await context.close().catch(() => {});
    if (server && !server.exited) {
      server.child.kill('SIGTERM');
      await pollUntil('quillfen to exit', 30_000, () => server.exited, () => '', 200).catch((e) => {
        fail('quillfen exits on SIGTERM', e);
        server.child.kill('SIGKILL');
      });
    }
    fs.rmSync(tmp, { recursive: true, force: true });
  };
  const watchdog = setTimeout(async () => {
    fail('whole run', `not done after ${WATCHDOG_MS} ms`);
    await cleanup().catch(() => {});
    console.log(`browser: ${passed} passed, ${failed} failed`);
    process.exit(1);
  }, WATCHDOG_MS);

  let step = 'start-up';
  const steps = async (name, fn) => {
    step = name;
    await fn();
    passed++;
    log(`ok   - ${name}`);
  };
  try {
    // A status file that names no live stand-in is left from a service long
    // gone; once its id is reused (Chromium starts many processes), the panel
    // would signal that stranger.
    for (const file of Object.values(PID_FILES)) {
      const exe = exeOf(readPid(file));
      if (fs.existsSync(file) && !STANDINS.some((n) => path.basename(exe || '').startsWith(n))) {
        log(`removing stale ${file}: it names ${exe || 'no process'}`);
        fs.rmSync(file, { force: true });
      }
    }

    await steps('quillfen starts and Chromium opens the panel page', async () => {
      server = startServer(product, port);
      await pollUntil('the banner', 30_000, () => {
        assert(!server.exited, `quillfen ended (${server.code})`);
        return server.out.includes(`started on port(s) [${port}]`);
      }, () => server.err.slice(-200), 100);
      context = await chromium.launchPersistentContext(path.join(tmp, 'profile'), {
        executablePath: chromiumPath,
        headless: true,
        args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'],
      });
      page = context.pages()[0] || (await context.newPage());
      page.setDefaultTimeout(15_000);
      // The refresh thread writes the first page right after the start.
      await reloadUntil(page, url, 'the panel page', async (p) => (await p.title()).length > 0);
    });

    await steps('the Control Panel and Basic Setup tabs switch', async () => {
      const titles = (await page.locator('ul.tabnav a').allInnerTexts()).map((t) => t.trim());
      assert(titles.join('|') === 'Control Panel|Basic Setup', `tabs are ${titles}`);
      const trunk = page.locator('input[name="TrunkName"]');
      const status = page.locator('#statuslineid');
      await showTab(page, 'Basic Setup');
      assert((await trunk.isVisible()) && !(await status.isVisible()), 'Basic Setup shows the wrong fields');
      await showTab(page, 'Control Panel');
      assert((await status.isVisible()) && !(await trunk.isVisible()), 'Control Panel shows the wrong fields');
    });

    if ((await statusText(page)) !== 'Not Running') {
      await steps('a service found running is stopped with Stop', async () => {
        await control(page, 'Stop');
        await reloadUntil(page, url, '"Not Running"', async (p) => (await statusText(p)) === 'Not Running');
      });
    }

    await steps('Basic Setup: Save writes the form, Restore writes nothing', async () => {
      await showTab(page, 'Basic Setup');
      const trunk = page.locator('input[name="TrunkName"]');
      const box = page.locator('input[name="RegisterOrigPhones"]');
      const onDisk = /^TrunkName=(\S*)\r?$/m.exec(fs.readFileSync(conf, 'latin1'));
      assert((await trunk.inputValue()) === (onDisk ? onDisk[1] : ''), 'TrunkName does not show the file');
      const newTrunk = `E2eTrunk${process.pid}`;
      const checked = !(await box.isChecked());
      await trunk.fill(newTrunk);
      await box.setChecked(checked);
      await submit(page, page.locator('button[name="basicsetupbutton"][value="Save"]'));
      const saved = fs.readFileSync(conf, 'latin1');
      for (const line of [`TrunkName=${newTrunk}\r\n`, `RegisterOrigPhones=${checked ? 1 : 0}\r\n`])
        assert(saved.includes(line), `quorvel.conf has no ${JSON.stringify(line)}`);
      await reloadUntil(page, url, `the page to show ${newTrunk}`, async (p) =>
        (await p.locator('input[name="TrunkName"]').inputValue()) === newTrunk &&
        (await p.locator('input[name="RegisterOrigPhones"]').isChecked()) === checked);

      await showTab(page, 'Basic Setup');
      await page.locator('input[name="TrunkName"]').fill('NotSavedTrunk');
      await submit(page, page.locator('button[name="basicsetupbutton"][value="Restore"]'));
      assert(fs.readFileSync(conf, 'latin1') === saved, 'Restore changed quorvel.conf');
    });

    let service = null;
    await steps('Start: "Running with N active channel(s)", our own programs', async () => {
      await control(page, 'Start');
      await reloadUntil(page, url, 'a "Running with ..." status', async (p) =>
        /^Running with \d+ active channels?$/.test(await statusText(p)));
      service = readPid(PID_FILES.service);
      for (const [pid, name] of [[readPid(PID_FILES.guard), 'drevanta_guard'], [service, 'drevantaquorvel']])
        assert(exeOf(pid) === path.join(product, name), `${name} is ${pid}, which runs ${exeOf(pid)}`);
    });

    await steps('while running, both log tails show the service', async () => {
      // The system log under /tmp may hold older runs' lines: this service's id tells.
      const tag = `drevantaquorvel[${service}]`;
      await reloadUntil(page, url, `${tag} in both log tails`, async (p) =>
        (await p.locator('#appdiv').innerText()).includes(tag) &&
        (await p.locator('#sysdiv').innerText()).includes(tag));
    });

    await steps('Stop: "Not Running", the service and guard end', async () => {
      await control(page, 'Stop');
      await reloadUntil(page, url, '"Not Running"', async (p) => (await statusText(p)) === 'Not Running');
      await pollUntil('the stand-ins to end', 15_000, () => processesUnder(product).length === 0,
        () => processesUnder(product).join(', '));
    });
  } catch (e) {
    fail(step, e);
    if (page) console.log(`---- page ${page.url()} ----\n${await page.content().catch(() => '')}`);
    if (server) console.log(`---- quillfen ----\n${server.out.slice(-2000)}\n${server.err.slice(-2000)}`);
    try {
      console.log(`---- access log ----\n${fs.readFileSync(path.join(tmp, 'access.log'), 'latin1').slice(-3000)}`);
    } catch { /* none written */ }
  }

  await cleanup().catch((e) => fail('cleanup', e));
  if (server && !(server.code === 0 && server.out.includes('Exiting on signal 15')))
    fail('quillfen exits cleanly on SIGTERM', `exit ${server.code}`);
  clearTimeout(watchdog);
}

await main().catch((e) => fail('set-up', e));
console.log(`browser: ${passed} passed, ${failed} failed`);
process.exit(failed === 0 && passed > 0 ? 0 : 1);
