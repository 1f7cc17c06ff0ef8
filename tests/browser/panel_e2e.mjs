#!/usr/bin/env node
// End-to-end test of the Quorvel control panel: the real quillfen binary
// serves a throw-away copy of the demo product directory, and headless
// Chromium clicks through the panel as an administrator would: tabs, a Basic
// Setup save and restore, Start and Stop of the stand-in service.
//
// Usage: node panel_e2e.mjs QUILLFEN_BINARY PRODUCT_DIR
//   (or the environment variables QF_BINARY and QF_PRODUCT_DIR).
// QF_CHROMIUM overrides the browser (default /usr/bin/chromium);
// QF_E2E_ARTIFACTS names where a failure's screenshot and page go
// (default: the binary's directory, i.e. the build directory).
// Exit status 0 when every check passed, 1 otherwise.

import { spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

const binary = path.resolve(process.argv[2] || process.env.QF_BINARY || '');
const templateDir = path.resolve(process.argv[3] || process.env.QF_PRODUCT_DIR || '');
const chromiumPath = process.env.QF_CHROMIUM || '/usr/bin/chromium';
const artifactDir = process.env.QF_E2E_ARTIFACTS || path.dirname(binary);

// The service's fixed status files; the panel reads them, the stand-ins write them.
const SERVICE_PID_FILE = '/tmp/DrevantaQuorvel';
const GUARD_PID_FILE = '/tmp/DrevantaGuardQuorvel';

// Deadlines. The panel page is rewritten every 8 s (plus 2 s while the
// service runs), the wait page sends the browser back after 9 s and a Stop
// of a running service takes 5 s, so each state change is given ample time.
const STARTUP_MS = 30_000;
const STATE_CHANGE_MS = 60_000;
const WAIT_PAGE_MS = 30_000;
const SHUTDOWN_MS = 30_000;
// Stays under the CTest timeout, so the cleanup still runs when stuck.
const WATCHDOG_MS = 210_000;

const RUNNING_RE = /^Running with \d+ active channels?$/;

let passed = 0;
let failed = 0;

function log(msg) {
  console.log(`[${new Date().toISOString().slice(11, 19)}] ${msg}`);
}

function pass(name) {
  passed++;
  log(`ok   - ${name}`);
}

function fail(name, err) {
  failed++;
  log(`FAIL - ${name}: ${err && err.message ? err.message : err}`);
}

function assert(cond, msg) {
  if (!cond) throw new Error(msg);
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Calls fn until it returns a truthy value; describe() explains the last
// state seen when the deadline passes.
async function pollUntil(what, timeoutMs, fn, describe = () => '', intervalMs = 500) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    let value;
    try {
      value = await fn();
    } catch (e) {
      value = undefined;
      if (Date.now() > deadline) throw e;
    }
    if (value) return value;
    if (Date.now() > deadline) {
      const last = await Promise.resolve(describe()).catch(() => '');
      throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}${last ? ` (last: ${last})` : ''}`);
    }
    await sleep(intervalMs);
  }
}

// ---------------------------------------------------------------- HTTP --

// One request per connection, as the server answers.
function httpRequest(port, method, urlPath, body = null, timeoutMs = 15_000) {
  return new Promise((resolve, reject) => {
    const headers = { Connection: 'close' };
    if (body !== null) {
      headers['Content-Type'] = 'application/x-www-form-urlencoded';
      headers['Content-Length'] = Buffer.byteLength(body);
    }
    const req = http.request(
      { host: '127.0.0.1', port, method, path: urlPath, headers, agent: false, timeout: timeoutMs },
      (res) => {
        const chunks = [];
        res.on('data', (c) => chunks.push(c));
        res.on('end', () => resolve({ status: res.statusCode, body: Buffer.concat(chunks).toString('latin1') }));
        res.on('error', reject);
      },
    );
    req.on('timeout', () => req.destroy(new Error(`${method} ${urlPath}: no answer in ${timeoutMs} ms`)));
    req.on('error', reject);
    if (body !== null) req.write(body);
    req.end();
  });
}

function freePort() {
  return new Promise((resolve, reject) => {
    const srv = net.createServer();
    srv.on('error', reject);
    srv.listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

// ----------------------------------------------------- service processes --

function readPidFile(file) {
  try {
    const buf = fs.readFileSync(file);
    if (buf.length < 4) return null;
    return os.endianness() === 'LE' ? buf.readInt32LE(0) : buf.readInt32BE(0);
  } catch {
    return null;
  }
}

// The program a live process runs, or null when there is no such process.
function exeOf(pid) {
  if (!Number.isInteger(pid) || pid <= 0) return null;
  try {
    return fs.readlinkSync(`/proc/${pid}/exe`);
  } catch {
    return null;
  }
}

const STANDIN_NAMES = ['drevanta_guard', 'drevantaquorvel'];

function isStandin(exe) {
  return exe !== null && STANDIN_NAMES.some((n) => path.basename(exe).startsWith(n));
}

// Processes whose program lies inside dir: only the stand-ins that our own
// server started from our own copy of the product directory.
function processesUnder(dir) {
  const found = [];
  for (const name of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    const exe = exeOf(Number(name));
    if (exe && exe.startsWith(dir + path.sep)) found.push({ pid: Number(name), exe });
  }
  return found;
}

// A status file naming a live process that is no stand-in is left over from
// a service long gone whose id was reused; the panel would signal that
// stranger on Stop, so the stale file is removed instead.
function dropStaleStatusFiles() {
  for (const file of [SERVICE_PID_FILE, GUARD_PID_FILE]) {
    const pid = readPidFile(file);
    const exe = exeOf(pid);
    if (pid !== null && exe !== null && !isStandin(exe)) {
      log(`removing stale ${file}: it names pid ${pid} (${exe}), which is no stand-in`);
      try {
        fs.unlinkSync(file);
      } catch (e) {
        log(`  could not remove it: ${e.message}`);
      }
    }
  }
}

// ----------------------------------------------------------------- setup --

function makeProductCopy() {
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'quillfen-e2e-'));
  const product = path.join(tmp, 'product');
  fs.cpSync(templateDir, product, { recursive: true });
  // Pages a previous run left in the template must not pass for ours.
  for (const f of ['drevanta_gui.html', 'drevanta_gui_busy.html', 'tmp_drevanta_gui.html', '_tmp_quorvel.conf']) {
    fs.rmSync(path.join(product, f), { force: true });
  }
  for (const prog of STANDIN_NAMES) {
    fs.chmodSync(path.join(product, prog), 0o755);
  }
  fs.mkdirSync(path.join(tmp, 'log'));
  return { tmp, product };
}

function startServer(product, port) {
  const child = spawn(binary, ['-root', product + '/', '-ports', String(port)], {
    env: { ...process.env, DREVANTA_BIN: product + '/' },
    cwd: path.dirname(product),
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  const server = { child, out: '', err: '', exited: false, exitCode: null, exitSignal: null };
  child.stdout.on('data', (d) => { server.out += d.toString(); });
  child.stderr.on('data', (d) => { server.err += d.toString(); });
  // 'exit', not 'close': a started guard inherits the server's standard
  // error and keeps the pipe open after the server has gone.
  child.on('exit', (code, signal) => {
    server.exited = true;
    server.exitCode = code;
    server.exitSignal = signal;
  });
  child.on('error', (e) => {
    server.exited = true;
    server.err += `\n(spawn failed: ${e.message})`;
  });
  return server;
}

function serverGone(server) {
  return server.exited
    ? new Error(`quillfen ended (code ${server.exitCode}, signal ${server.exitSignal})`)
    : null;
}

// ------------------------------------------------------------- the panel --

async function showTab(page, title) {
  await page.locator('ul.tabnav a', { hasText: title }).click();
}

async function statusText(page) {
  const box = page.locator('#statuslineid');
  if ((await box.count()) !== 1) return null;
  return box.getAttribute('value');
}

// Loads the panel page until check(page) holds; the page is rewritten by the
// refresh thread, so a load can also catch the moment the file is replaced.
async function reloadUntil(page, url, what, timeoutMs, check) {
  let last = '';
  return pollUntil(
    what,
    timeoutMs,
    async () => {
      const resp = await page.goto(url, { waitUntil: 'load', timeout: 15_000 });
      if (!resp || resp.status() !== 200) {
        last = `HTTP ${resp ? resp.status() : 'none'}`;
        return false;
      }
      last = `status "${await statusText(page)}"`;
      return check(page);
    },
    () => last,
    1000,
  );
}

// Submits a form with button, checks that the wait page answers, and
// follows its own reload back to the panel page.
async function submitAndFollowBack(page, button) {
  await Promise.all([
    page.waitForURL(/\/drevanta_gui_busy\.html$/, { timeout: WAIT_PAGE_MS, waitUntil: 'load' }),
    button.click(),
  ]);
  const body = await page.locator('body').innerText();
  assert(body.includes('Please wait while your request is being processed'),
    `the form's answer is not the wait page: ${body.slice(0, 200)}`);
  await page.waitForURL(/\/drevanta_gui\.html$/, { timeout: WAIT_PAGE_MS, waitUntil: 'load' });
}

async function buttonStates(page) {
  const enabled = async (value) =>
    page.locator(`button[name="controlbutton"][value="${value}"]`).isEnabled();
  return { start: await enabled('Start'), stop: await enabled('Stop'), manual: await enabled('Manual') };
}

async function clickControl(page, value) {
  await showTab(page, 'Control Panel');
  const button = page.locator(`button[name="controlbutton"][value="${value}"]`);
  assert(await button.isVisible(), `the ${value} button is not visible`);
  assert(await button.isEnabled(), `the ${value} button is disabled`);
  await submitAndFollowBack(page, button);
}

// ------------------------------------------------------------------ conf --

// Keys that the Basic Setup form writes; every other line must survive a save.
const FORM_KEYS = [
  'SipProxyIP', 'SipProxyPort', 'SipProxyDomain', 'SipUAIP', 'SipUAPort',
  'NeedToDoNoiseCancellation', 'NeedToDoAEC', 'AECTailType', 'NeedToDoAGC', 'BypassVAD',
  'AGCLevel', 'TrunkName', 'RegisterTrunk', 'NumPhonesToAllocate', 'OrigPhonesNamePrefix',
  'RegisterOrigPhones', 'PairPhonesNamePrefix', 'RegisterPairPhones', 'Secret',
];

function otherLines(conf) {
  return conf.split('\n').filter((line) => {
    const key = line.trimStart().split(/[=\s]/)[0];
    return !FORM_KEYS.includes(key);
  });
}

// ------------------------------------------------------------------ main --

async function main() {
  assert(fs.existsSync(binary), `no quillfen binary at "${binary}" (argument 1)`);
  assert(fs.existsSync(path.join(templateDir, 'quorvel.conf')),
    `no product directory at "${templateDir}" (argument 2)`);
  assert(fs.existsSync(chromiumPath), `no Chromium at ${chromiumPath} (Debian package chromium)`);
  let chromium;
  try {
    ({ chromium } = await import('playwright-core'));
  } catch (e) {
    throw new Error(`playwright-core is missing; run "npm ci --prefix tests/browser" (${e.message})`);
  }

  const { tmp, product } = makeProductCopy();
  const confPath = path.join(product, 'quorvel.conf');
  const port = await freePort();
  const url = `http://127.0.0.1:${port}/drevanta_gui.html`;
  let server = null;
  let context = null;
  let page = null;
  let ourServicePids = [];

  const cleanup = async () => {
    // Our stand-ins are stopped the way an administrator would: the Stop button.
    if (server && !server.exited && processesUnder(product).length > 0) {
      log('stopping the service through the panel');
      await httpRequest(port, 'POST', '/drevanta_gui_busy.html', 'controlbutton=Stop', 30_000)
        .catch((e) => log(`  the Stop post failed: ${e.message}`));
    }
    const left = await pollUntil('the stand-ins to end', 15_000,
      () => processesUnder(product).length === 0, () => '').then(() => [], () => processesUnder(product));
    if (left.length > 0) {
      fail('no stand-in outlives the test', new Error(`still running: ${left.map((p) => p.pid).join(', ')}`));
      // Programs from our own temporary copy: no one else's process.
      for (const p of left) {
        try { process.kill(p.pid, 'SIGKILL'); } catch { /* already gone */ }
      }
    }
    if (context) await context.close().catch(() => {});
    if (server && !server.exited) {
      server.child.kill('SIGTERM');
      const ended = await pollUntil('quillfen to exit', SHUTDOWN_MS, () => server.exited, () => '', 200)
        .then(() => true, () => false);
      if (!ended) {
        fail('quillfen exits on SIGTERM', new Error(`still running after ${SHUTDOWN_MS} ms; killed`));
        server.child.kill('SIGKILL');
      }
    }
    fs.rmSync(tmp, { recursive: true, force: true });
  };

  const watchdog = setTimeout(async () => {
    fail('whole run', new Error(`not done after ${WATCHDOG_MS} ms`));
    await cleanup().catch(() => {});
    console.log(`browser: ${passed} passed, ${failed} failed`);
    process.exit(1);
  }, WATCHDOG_MS);

  let step = 'start-up';
  try {
    dropStaleStatusFiles();

    step = 'quillfen starts and serves the panel page';
    server = startServer(product, port);
    await pollUntil('the banner', STARTUP_MS, () => {
      const gone = serverGone(server);
      if (gone) throw gone;
      return server.out.includes(`started on port(s) [${port}]`);
    }, () => JSON.stringify(server.out.slice(-200)), 100);
    const first = await pollUntil('the panel page', STARTUP_MS, async () => {
      const gone = serverGone(server);
      if (gone) throw gone;
      const r = await httpRequest(port, 'GET', '/drevanta_gui.html');
      return r.status === 200 && r.body.includes('id="statuslineid"') ? r : null;
    }, () => '', 250);
    assert(first.body.trimEnd().endsWith('</div></body></html>'), 'the panel page is cut short');
    pass(step);

    step = 'Chromium opens the panel page';
    const profile = path.join(tmp, 'chromium-profile');
    context = await chromium.launchPersistentContext(profile, {
      executablePath: chromiumPath,
      headless: true,
      args: [
        '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync',
      ],
    });
    page = context.pages()[0] || (await context.newPage());
    page.setDefaultTimeout(15_000);
    const resp = await page.goto(url, { waitUntil: 'load' });
    assert(resp && resp.status() === 200, `HTTP ${resp ? resp.status() : 'none'}`);
    assert((await page.title()).length > 0, 'the page has no title: the prefix file was not served with it');
    pass(step);

    step = 'the Control Panel and Basic Setup tabs switch';
    const tabTitles = await page.locator('ul.tabnav a').allInnerTexts();
    assert(JSON.stringify(tabTitles.map((t) => t.trim())) === '["Control Panel","Basic Setup"]',
      `tabs are ${JSON.stringify(tabTitles)}`);
    await showTab(page, 'Basic Setup');
    assert(await page.locator('input[name="TrunkName"]').isVisible(), 'Basic Setup shows no TrunkName field');
    assert(!(await page.locator('#statuslineid').isVisible()), 'the status line shows on the Basic Setup tab');
    await showTab(page, 'Control Panel');
    assert(await page.locator('#statuslineid').isVisible(), 'Control Panel shows no status line');
    assert(!(await page.locator('input[name="TrunkName"]').isVisible()), 'TrunkName shows on the Control Panel tab');
    assert((await buttonStates(page)).manual, 'Manual Refresh is disabled');
    pass(step);

    const initial = await statusText(page);
    log(`initial status: "${initial}"`);
    if (initial !== 'Not Running') {
      // A service left running by someone else: Stop first, as the panel offers.
      step = 'a service found running is stopped with Stop';
      await clickControl(page, 'Stop');
      await reloadUntil(page, url, '"Not Running"', STATE_CHANGE_MS,
        async (p) => (await statusText(p)) === 'Not Running');
      pass(step);
    }

    step = 'while not running, Start is enabled and Stop disabled';
    {
      const b = await buttonStates(page);
      assert(b.start && !b.stop && b.manual, `buttons: ${JSON.stringify(b)}`);
    }
    pass(step);

    step = 'Basic Setup: Save writes the form to quorvel.conf and the page shows it';
    {
      const before = fs.readFileSync(confPath, 'latin1');
      const onDisk = /^TrunkName=(\S*)\r?$/m.exec(before);
      await showTab(page, 'Basic Setup');
      const trunk = page.locator('input[name="TrunkName"]');
      assert((await trunk.inputValue()) === (onDisk ? onDisk[1] : ''),
        `the TrunkName field shows "${await trunk.inputValue()}", the file has "${onDisk && onDisk[1]}"`);
      const origBox = page.locator('input[name="RegisterOrigPhones"]');
      const wasChecked = await origBox.isChecked();
      const newTrunk = `E2eTrunk${process.pid}`;
      await trunk.fill(newTrunk);
      await origBox.setChecked(!wasChecked);
      await submitAndFollowBack(page, page.locator('button[name="basicsetupbutton"][value="Save"]'));

      const after = fs.readFileSync(confPath, 'latin1');
      assert(after.includes(`TrunkName=${newTrunk}\r\n`), `quorvel.conf has no "TrunkName=${newTrunk}\\r\\n"`);
      assert(!/^TrunkName=(?!E2eTrunk)/m.test(after), 'quorvel.conf still has the old TrunkName line');
      const flag = wasChecked ? '0' : '1';
      assert(after.includes(`RegisterOrigPhones=${flag}\r\n`),
        `quorvel.conf has no "RegisterOrigPhones=${flag}\\r\\n" after the box was toggled`);
      assert(JSON.stringify(otherLines(after)) === JSON.stringify(otherLines(before)),
        'a save changed lines that are not Basic Setup settings');

      await reloadUntil(page, url, `the page to show TrunkName ${newTrunk}`, STATE_CHANGE_MS, async (p) =>
        (await p.locator('input[name="TrunkName"]').inputValue()) === newTrunk &&
        (await p.locator('input[name="RegisterOrigPhones"]').isChecked()) === !wasChecked);

      // Restore posts the unsaved edit too, and must not write it.
      const saved = fs.readFileSync(confPath);
      await showTab(page, 'Basic Setup');
      await page.locator('input[name="TrunkName"]').fill('NotSavedTrunk');
      await submitAndFollowBack(page, page.locator('button[name="basicsetupbutton"][value="Restore"]'));
      assert(fs.readFileSync(confPath).equals(saved), 'Restore changed quorvel.conf');
      await reloadUntil(page, url, `the field to show the saved ${newTrunk} after Restore`, STATE_CHANGE_MS,
        async (p) => (await p.locator('input[name="TrunkName"]').inputValue()) === newTrunk);
    }
    pass(step);

    step = 'Start: the status changes to "Running with N active channel(s)"';
    await clickControl(page, 'Start');
    await reloadUntil(page, url, 'a "Running with ..." status', STATE_CHANGE_MS,
      async (p) => RUNNING_RE.test((await statusText(p)) || ''));
    {
      const guard = readPidFile(GUARD_PID_FILE);
      const service = readPidFile(SERVICE_PID_FILE);
      const guardExe = exeOf(guard);
      const serviceExe = exeOf(service);
      assert(guardExe === path.join(product, 'drevanta_guard'),
        `the guard runs "${guardExe}", not our product's drevanta_guard`);
      assert(serviceExe === path.join(product, 'drevantaquorvel'),
        `the service runs "${serviceExe}", not our product's drevantaquorvel`);
      ourServicePids = [guard, service];
      const b = await buttonStates(page);
      assert(!b.start && b.stop && b.manual, `buttons while running: ${JSON.stringify(b)}`);
    }
    pass(step);

    step = 'while running, both log tails show the service';
    {
      // The system log under /tmp may hold older runs' lines, so look for
      // this service's own id; the application log is BIN/../log/errLog,
      // inside our copy.
      const tag = `drevantaquorvel[${ourServicePids[1]}]`;
      await reloadUntil(page, url, `${tag} in both log tails`, STATE_CHANGE_MS, async (p) =>
        (await p.locator('#appdiv').innerText()).includes(tag) &&
        (await p.locator('#sysdiv').innerText()).includes(tag));
    }
    pass(step);

    step = 'Stop: the status changes back to "Not Running"';
    await clickControl(page, 'Stop');
    await reloadUntil(page, url, '"Not Running"', STATE_CHANGE_MS,
      async (p) => (await statusText(p)) === 'Not Running');
    await pollUntil('the stopped service and guard to end', 15_000,
      () => ourServicePids.every((pid) => exeOf(pid) === null),
      () => ourServicePids.filter((pid) => exeOf(pid) !== null).join(', '));
    {
      const b = await buttonStates(page);
      assert(b.start && !b.stop && b.manual, `buttons after Stop: ${JSON.stringify(b)}`);
    }
    pass(step);
  } catch (e) {
    fail(step, e);
    await reportFailure(page, server);
  }

  try {
    await cleanup();
    if (server && server.exited) {
      const clean = server.exitCode === 0 && server.out.includes('Exiting on signal 15');
      if (clean) pass('quillfen exits cleanly on SIGTERM');
      else fail('quillfen exits cleanly on SIGTERM',
        new Error(`code ${server.exitCode}, signal ${server.exitSignal}`));
    }
  } catch (e) {
    fail('cleanup', e);
  }
  clearTimeout(watchdog);
}

async function reportFailure(page, server) {
  if (page) {
    try {
      fs.mkdirSync(artifactDir, { recursive: true });
      const shot = path.join(artifactDir, 'panel_e2e_failure.png');
      await page.screenshot({ path: shot, fullPage: true });
      log(`screenshot: ${shot}`);
      console.log(`---- page ${page.url()} ----\n${await page.content()}\n---- end of page ----`);
    } catch (e) {
      log(`no screenshot: ${e.message}`);
    }
  }
  if (server) {
    console.log(`---- quillfen stdout ----\n${server.out.slice(-4000)}`);
    console.log(`---- quillfen stderr ----\n${server.err.slice(-4000)}\n---- end ----`);
  }
}

try {
  await main();
} catch (e) {
  fail('setup', e);
}
console.log(`browser: ${passed} passed, ${failed} failed`);
process.exit(failed === 0 && passed > 0 ? 0 : 1);
