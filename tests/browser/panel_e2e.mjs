#!/usr/bin/env node
// The Quorvel control panel end to end: the real quillfen binary serves a throw-away copy of the
// demo product directory and headless Chromium uses the panel as an administrator would: tabs,
// Basic Setup Save and Restore with values typed as they are, rounds of Start and Stop whose wait
// page returns to the new state, log tails, a page from another port that posts to the panel, and
// the panel over HTTPS.
// Usage: node panel_e2e.mjs QUILLFEN_BINARY PRODUCT_DIR; QF_CHROMIUM overrides /usr/bin/chromium.

import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

const [binary, templateDir] = process.argv.slice(2, 4).map((a) => path.resolve(a || ''));
// The service's fixed status files: the panel reads them, the stand-ins write them.
const PID_FILES = { service: '/tmp/DrevantaQuorvel', guard: '/tmp/DrevantaGuardQuorvel' };
// The page is rewritten every 8 s (10 while the service runs) and at once after an action; the wait
// page goes back after 9 s.
const STATE_MS = 60_000;
const ROUNDS = 5;
const WATCHDOG_MS = 400_000;   // under the CTest timeout, so that the cleanup still runs

let [passed, failed] = [0, 0];
const log = (msg) => console.log(`[${new Date().toISOString().slice(11, 19)}] ${msg}`);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const attempt = (fn) => { try { return fn(); } catch { return null; } };
const assert = (cond, msg) => { if (!cond) throw new Error(msg); };
const fail = (name, e) => { failed++; log(`FAIL - ${name}: ${e?.message ?? e}`); };

// Calls fn (which may throw) until it returns a truthy value; last() tells the state at the deadline.
async function pollUntil(what, ms, fn, last = () => '', every = 500) {
  for (const deadline = Date.now() + ms; ; await sleep(every)) {
    const value = await Promise.resolve().then(fn).catch((e) => (Date.now() > deadline ? Promise.reject(e) : null));
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what} (last: ${await last()})`);
  }
}

const readPid = (file) => attempt(() => fs.readFileSync(file)[`readInt32${os.endianness()}`](0));
const exeOf = (pid) => (pid > 0 ? attempt(() => fs.readlinkSync(`/proc/${pid}/exe`)) : null);
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'quillfen-e2e-'));
const product = path.join(tmp, 'product');
const conf = path.join(product, 'quorvel.conf');
// Processes running a program from our copy: only the stand-ins our own server started.
const standins = () => fs.readdirSync('/proc').map(Number).filter((pid) => exeOf(pid)?.startsWith(product + '/'));
const gone = () => standins().length === 0;
let [server, context, page, port, otherPort, tlsPort, url] = [null, null, null, 0, 0, 0, ''];

// One PEM with a fresh P-256 certificate and its key, as ssl_cert takes it.
function makeCertificate() {
  const [key, crt, pem] = ['key.pem', 'crt.pem', 'server.pem'].map((f) => path.join(tmp, f));
  const r = spawnSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes',
    '-keyout', key, '-out', crt, '-days', '2', '-subj', '/CN=127.0.0.1'], { encoding: 'utf8' });
  assert(r.status === 0, `openssl: ${r.stderr}`);
  fs.writeFileSync(pem, fs.readFileSync(crt, 'latin1') + fs.readFileSync(key, 'latin1'), 'latin1');
  return pem;
}

// The server listens on a second port too: a page from there is another site's; a third one is HTTPS.
// On the loopback address only: the panel must not be open to the network while the test runs.
const portsOption = () => `127.0.0.1:${port},127.0.0.1:${otherPort},127.0.0.1:${tlsPort}s`;
function startServer() {
  const args = ['-root', product + '/', '-ssl_cert', makeCertificate(), '-ports', portsOption(),
    '-access_log', `${tmp}/access.log`, '-error_log', `${tmp}/error.log`, '-keep_alive', '5'];
  const child = spawn(binary, args, { env: { ...process.env, DREVANTA_BIN: product + '/' }, cwd: tmp,
    stdio: ['ignore', 'pipe', 'pipe'] });
  server = { child, out: '', err: '', exited: false, code: null };
  child.stdout.on('data', (d) => { server.out += d; });
  child.stderr.on('data', (d) => { server.err += d; });
  // 'exit', not 'close': a started guard inherits the server's standard error.
  child.on('exit', (code, signal) => Object.assign(server, { exited: true, code: code ?? signal }));
  child.on('error', (e) => Object.assign(server, { exited: true, code: e.message }));
}

const statusText = () => page.locator('#statuslineid').getAttribute('value');
const stopped = async () => (await statusText()) === 'Not Running';
const showTab = (title) => page.locator('ul.tabnav a', { hasText: title }).click();

// Loads the panel page until check() holds: the refresh thread rewrites it.
async function reloadUntil(what, check) {
  let last = '';
  await pollUntil(what, STATE_MS, async () => {
    const code = (await page.goto(url, { waitUntil: 'load' }))?.status();
    last = code === 200 ? `status "${await statusText()}"` : `HTTP ${code}`;
    return code === 200 && check();
  }, () => last, 1000);
}

// Submits a form with the button; its answer is the wait page, which goes back to the panel.
async function submit(name, value) {
  const button = page.locator(`button[name="${name}"][value="${value}"]`);
  await Promise.all([page.waitForURL(/\/drevanta_gui_busy\.html$/, { timeout: 30_000 }), button.click()]);
  assert((await page.locator('body').innerText()).includes('Please wait while your request is being processed'),
    'the answer to the form is not the wait page');
  await page.waitForURL(/\/drevanta_gui\.html$/, { timeout: 30_000 });
}

async function control(value) {
  await showTab('Control Panel');
  await submit('controlbutton', value);
}

async function cleanup() {
  if (server && !server.exited && !gone())   // Stop, as an administrator would
    await fetch(`http://127.0.0.1:${port}/drevanta_gui_busy.html`, { method: 'POST', body: 'controlbutton=Stop',
      headers: { 'Content-Type': 'application/x-www-form-urlencoded' } })
      .then((r) => r.text()).catch((e) => log(`the Stop post failed: ${e.message}`));
  const left = await pollUntil('the stand-ins to end', 15_000, gone).then(() => [], standins);
  if (left.length > 0) {
    fail('no stand-in outlives the test', `still running: ${left.join(', ')}`);
    left.forEach((pid) => attempt(() => process.kill(pid, 'SIGKILL')));   // programs of our own copy only
  }
  await context?.close().catch(() => {});
  if (server && !server.exited) {
    server.child.kill('SIGTERM');
    await pollUntil('quillfen to exit', 30_000, () => server.exited, () => '', 200).catch((e) => {
      fail('quillfen exits on SIGTERM', e);
      server.child.kill('SIGKILL');
    });
  }
  fs.rmSync(tmp, { recursive: true, force: true });
}

const watchdog = setTimeout(async () => {
  fail('whole run', `not done after ${WATCHDOG_MS} ms`);
  await cleanup().catch(() => {});
  console.log(`browser: ${passed} passed, ${failed} failed`);
  process.exit(1);
}, WATCHDOG_MS);

let step = 'set-up';
const steps = async (name, fn) => {
  step = name;
  await fn();
  passed++;
  log(`ok   - ${name}`);
};
try {
  const { chromium } = await import('playwright-core');
  fs.cpSync(templateDir, product, { recursive: true });
  fs.mkdirSync(path.join(tmp, 'log'));   // the application log goes to BIN/../log
  for (const f of ['drevanta_gui.html', 'drevanta_gui_busy.html', 'tmp_drevanta_gui.html', '_tmp_quorvel.conf'])
    fs.rmSync(path.join(product, f), { force: true });   // a demo run's pages must not pass for ours
  // Below the kernel's ephemeral range, which no client socket and no bind to port 0 can take
  // meanwhile; a random start keeps runs side by side apart.
  const [low] = (attempt(() => fs.readFileSync('/proc/sys/net/ipv4/ip_local_port_range', 'latin1')) || '32768')
    .trim().split(/\s+/).map(Number);
  let candidate = 10000 + Math.floor(Math.random() * (low - 10000));
  const listens = (p) => new Promise((resolve) => {
    const srv = net.createServer().on('error', () => resolve(false));
    srv.listen(p, '127.0.0.1', () => srv.close(() => resolve(true)));
  });
  const freePort = async () => {
    for (let i = 0; i < low - 10000; i++) {
      const p = 10000 + ((candidate++ - 10000) % (low - 10000));
      if (await listens(p)) return p;
    }
    throw new Error('no free port below the ephemeral range');
  };
  [port, otherPort, tlsPort] = [await freePort(), await freePort(), await freePort()];
  url = `http://127.0.0.1:${port}/drevanta_gui.html`;
  // A status file that names no live stand-in is left from a service long gone; once its id is
  // reused (Chromium starts many processes), the panel would signal that stranger.
  for (const file of Object.values(PID_FILES)) {
    const exe = path.basename(exeOf(readPid(file)) || '');
    if (fs.existsSync(file) && !['drevanta_guard', 'drevantaquorvel'].some((n) => exe.startsWith(n))) {
      log(`removing stale ${file}: it names ${exe || 'no process'}`);
      fs.rmSync(file, { force: true });
    }
  }

  await steps('quillfen starts and Chromium opens the panel page', async () => {
    startServer();
    await pollUntil('the banner', 30_000, () => {
      assert(!server.exited, `quillfen ended (${server.code})`);
      return server.out.includes(`started on port(s) [${portsOption()}]`);
    }, () => server.err.slice(-200), 100);
    context = await chromium.launchPersistentContext(path.join(tmp, 'profile'), {
      executablePath: process.env.QF_CHROMIUM || '/usr/bin/chromium', headless: true, ignoreHTTPSErrors: true,
      args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'],
    });
    page = context.pages()[0] || (await context.newPage());
    page.setDefaultTimeout(15_000);
    // The refresh thread writes the first page right after the start.
    await reloadUntil('the panel page', async () => (await page.title()).length > 0);
  });

  const trunk = page.locator('input[name="TrunkName"]');
  const box = page.locator('input[name="RegisterOrigPhones"]');
  await steps('the Control Panel and Basic Setup tabs switch', async () => {
    const titles = (await page.locator('ul.tabnav a').allInnerTexts()).map((t) => t.trim());
    assert(titles.join('|') === 'Control Panel|Basic Setup', `tabs are ${titles}`);
    const status = page.locator('#statuslineid');
    await showTab('Basic Setup');
    assert((await trunk.isVisible()) && !(await status.isVisible()), 'Basic Setup shows the wrong fields');
    await showTab('Control Panel');
    assert((await status.isVisible()) && !(await trunk.isVisible()), 'Control Panel shows the wrong fields');
  });

  if (!(await stopped())) {
    await steps('a service found running is stopped with Stop', async () => {
      await control('Stop');
      await reloadUntil('"Not Running"', stopped);
    });
  }

  await steps('Basic Setup: Save writes the form, Restore writes nothing', async () => {
    await showTab('Basic Setup');
    const onDisk = /^TrunkName=(\S*)\r?$/m.exec(fs.readFileSync(conf, 'latin1'));
    assert((await trunk.inputValue()) === (onDisk ? onDisk[1] : ''), 'TrunkName does not show the file');
    const newTrunk = `E2eTrunk${process.pid}`;
    const checked = !(await box.isChecked());
    await trunk.fill(newTrunk);
    await box.setChecked(checked);
    await submit('basicsetupbutton', 'Save');
    const saved = fs.readFileSync(conf, 'latin1');
    for (const line of [`TrunkName=${newTrunk}\r\n`, `RegisterOrigPhones=${checked ? 1 : 0}\r\n`])
      assert(saved.includes(line), `quorvel.conf has no ${JSON.stringify(line)}`);
    await reloadUntil(`the page to show ${newTrunk}`, async () =>
      (await trunk.inputValue()) === newTrunk && (await box.isChecked()) === checked);

    await showTab('Basic Setup');
    await trunk.fill('NotSavedTrunk');
    await submit('basicsetupbutton', 'Restore');
    assert(fs.readFileSync(conf, 'latin1') === saved, 'Restore changed quorvel.conf');
  });

  // Typed values come back as typed: markup, '&', '%', '+', '=', non-ASCII, and a field's name in
  // another field's value. What quorvel.conf cannot hold as one word leaves the file as it was.
  await steps('Basic Setup: values round-trip as typed; white space and CR LF are refused', async () => {
    await showTab('Basic Setup');
    const values = { TrunkName: 'Q"><b>x</b>&y%2B+=Secret=\u00fc\u20ac', Secret: "p&s=w%rd+\"<'>\u00e9",
      SipProxyDomain: 'Secret=stolen&TrunkName=' };
    for (const [name, value] of Object.entries(values)) await page.locator(`input[name="${name}"]`).fill(value);
    await submit('basicsetupbutton', 'Save');
    const saved = fs.readFileSync(conf, 'utf8');   // the form's names are the keys here
    for (const [name, value] of Object.entries(values))
      assert(saved.includes(`\n${name}=${value}\r\n`), `quorvel.conf lacks ${name} ${JSON.stringify(value)}`);
    // The page the wait page returned to shows them.
    for (const [name, value] of Object.entries(values)) {
      const shown = await page.locator(`input[name="${name}"]`).inputValue();
      assert(shown === value, `${name} shows ${JSON.stringify(shown)}`);
    }

    await showTab('Basic Setup');
    await page.locator('input[name="Secret"]').fill('two words');
    await submit('basicsetupbutton', 'Save');
    assert(fs.readFileSync(conf, 'utf8') === saved, 'a Secret with a space changed quorvel.conf');
    // A text field cannot hold a line end: the form as it stands, posted with one by hand.
    const status = await page.evaluate(() => {
      const form = new FormData(document.querySelectorAll('form')[1]);
      form.set('Secret', 'x\r\nInjected=1');
      form.set('TrunkName', 'a\nb');
      form.set('basicsetupbutton', 'Save');
      return fetch('drevanta_gui_busy.html', { method: 'POST', body: new URLSearchParams(form) }).then((r) => r.status);
    });
    assert(status === 200, `the Save post answered ${status}`);
    assert(fs.readFileSync(conf, 'utf8') === saved, 'a value with CR LF changed quorvel.conf');
  });

  // Each action's wait page returns to a page that already shows its outcome: no reload.
  let service = null;
  for (let round = 1; round <= ROUNDS; round++) {
    await steps(`round ${round}: Start returns to "Running with ...", Stop to "Not Running"`, async () => {
      await control('Start');
      const running = await statusText();
      assert(/^Running with \d+ active channels?$/.test(running), `after Start the page says "${running}"`);
      assert(await page.locator('button[value="Start"]').isDisabled(), 'Start is still enabled');
      service = readPid(PID_FILES.service);
      for (const [pid, name] of [[readPid(PID_FILES.guard), 'drevanta_guard'], [service, 'drevantaquorvel']])
        assert(exeOf(pid) === path.join(product, name), `${name} is ${pid}, which runs ${exeOf(pid)}`);
      if (round === ROUNDS) return;   // the last one stays up for the steps below
      await control('Stop');
      const now = await statusText();
      assert(now === 'Not Running', `after Stop the page says "${now}"`);
      assert(gone(), `still running after Stop: ${standins().join(', ')}`);
    });
  }

  await steps('while running, both log tails show the service, scrolled to their newest line', async () => {
    // The system log under /tmp may hold older runs' lines: this service's id tells.
    const tag = `drevantaquorvel[${service}]`;
    await reloadUntil(`${tag} in both log tails`, async () =>
      (await page.locator('#appdiv').innerText()).includes(tag) &&
      (await page.locator('#sysdiv').innerText()).includes(tag));
    for (const id of ['sysdiv', 'appdiv']) {
      const box = await page.locator(`#${id}`).evaluate((b) => [b.scrollTop, b.clientHeight, b.scrollHeight]);
      assert(box[2] > box[1], `#${id} holds too few lines to scroll: ${box}`);
      assert(box[0] + box[1] >= box[2] - 2, `#${id} is not scrolled to its end: ${box}`);
    }
  });

  await steps('a form on another site posting Stop is refused; the service runs on', async () => {
    const other = `http://127.0.0.1:${otherPort}/cross_site.html`;
    fs.writeFileSync(path.join(product, 'cross_site.html'), '<!DOCTYPE html><html><body onload="document.forms[0].submit()">' +
      `<form method="POST" action="http://127.0.0.1:${port}/drevanta_gui_busy.html">` +
      '<input type="hidden" name="controlbutton" value="Stop"></form></body></html>');
    const pair = [readPid(PID_FILES.guard), service];
    const [answer] = await Promise.all([
      page.waitForResponse((r) => r.url().endsWith(`:${port}/drevanta_gui_busy.html`), { timeout: 30_000 }),
      page.goto(other)]);
    assert(answer.status() === 403, `the cross-site post answered ${answer.status()}`);
    assert((await answer.text()).includes('Forbidden'), 'the answer does not say Forbidden');
    await pollUntil('the error-log line', 5_000, () =>
      attempt(() => fs.readFileSync(path.join(tmp, 'error.log'), 'latin1'))?.includes(`Origin http://127.0.0.1:${otherPort}`));
    assert(pair.every((pid) => !gone() && standins().includes(pid)), `the pair ${pair} did not survive`);
    await reloadUntil('"Running with ..."', async () => /^Running with /.test(await statusText()));
  });

  // The same origin over TLS: its own posts pass the Origin check (which compares https there).
  await steps('over HTTPS the panel loads and its forms act', async () => {
    url = `https://127.0.0.1:${tlsPort}/drevanta_gui.html`;
    await reloadUntil('"Running with ..." over HTTPS', async () => /^Running with /.test(await statusText()));
    const newTrunk = `TlsTrunk${process.pid}`;
    await showTab('Basic Setup');
    await trunk.fill(newTrunk);
    await submit('basicsetupbutton', 'Save');
    assert(page.url().startsWith('https://'), `the wait page went back to ${page.url()}`);
    assert(fs.readFileSync(conf, 'latin1').includes(`TrunkName=${newTrunk}\r\n`), 'Save over HTTPS was not written');
    assert((await trunk.inputValue()) === newTrunk, 'the page over HTTPS does not show the saved value');
  });

  // Kept connections: the browser's requests over TLS share fewer connections than they are.
  await steps('over HTTPS the page and its images reuse connections', async () => {
    const cdp = await context.newCDPSession(page);
    await cdp.send('Network.enable');
    await cdp.send('Network.setCacheDisabled', { cacheDisabled: true });
    const seen = [];
    cdp.on('Network.responseReceived', (e) => {
      if (e.response.url.includes(`:${tlsPort}/`)) seen.push(e.response);
    });
    for (let i = 0; i < 3; i++) await page.goto(url, { waitUntil: 'load' });
    await cdp.detach();
    const connections = new Set(seen.map((r) => r.connectionId)).size;
    const reused = seen.filter((r) => r.connectionReused).length;
    assert(seen.length >= 3 && reused > 0 && connections < seen.length,
      `${seen.length} answers over ${connections} connections, ${reused} on a reused one`);
  });

  await steps('Stop: "Not Running", the service and guard end', async () => {
    await control('Stop');
    assert(await stopped(), 'the page after Stop is not "Not Running"');
    assert(gone(), `still running after Stop: ${standins().join(', ')}`);
  });
} catch (e) {
  fail(step, e);
  if (page) console.log(`---- page ${page.url()} ----\n${await page.content().catch(() => '')}`);
  if (server) console.log(`---- quillfen ----\n${server.out.slice(-2000)}\n${server.err.slice(-2000)}`);
  const access = attempt(() => fs.readFileSync(path.join(tmp, 'access.log'), 'latin1').slice(-3000));
  if (access) console.log(`---- access log ----\n${access}`);
}

await cleanup().catch((e) => fail('cleanup', e));
if (server && !(server.code === 0 && server.out.includes('Exiting on signal 15')))
  fail('quillfen exits cleanly on SIGTERM', `exit ${server.code}`);
clearTimeout(watchdog);
console.log(`browser: ${passed} passed, ${failed} failed`);
process.exit(failed === 0 && passed > 0 ? 0 : 1);
