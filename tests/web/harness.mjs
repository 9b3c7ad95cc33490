// The web page's test harness: the box simulator, the line bridge behind the
// stand-in serial port, the native program for comparison, the browser, and
// the test data. Paths come from the repository's build folders.
import {spawn} from 'node:child_process';
import {once} from 'node:events';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

import {chromium} from 'playwright-core';

import {install_serial_standin} from './serial_standin.mjs';

export const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const build = process.env.HALVORAN_BUILD || path.join(repo, 'build/default');
export const boxsim_bin = path.join(build, 'sim/boxsim');
export const program_bin = path.join(build, 'src/halvoranupdate');
export const bridge_bin = path.join(build, 'tests/web_line_bridge');
export const page_url = 'file://' + path.join(process.env.HALVORAN_WEB_BUILD ||
                                              path.join(repo, 'build/web'), 'page/index.html');
export const page_file = fileURLToPath(page_url);

// The page's folder on a static web server on the loopback, as a user may
// put it on any host: each file as it is, nothing else. Resolves to the
// server's origin; close() ends it.
export async function static_host() {
    const folder = path.dirname(page_file);
    const types = {'.html': 'text/html', '.css': 'text/css', '.js': 'text/javascript'};
    const server = http.createServer((request, response) => {
        const name = path.basename(new URL(request.url, 'http://host').pathname);
        const file = path.join(folder, name);
        if (!fs.existsSync(file)) {
            response.writeHead(404).end();
            return;
        }
        response.writeHead(200, {'Content-Type': types[path.extname(name)] || 'application/octet-stream'});
        response.end(fs.readFileSync(file));
    });
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    return {origin: `http://127.0.0.1:${server.address().port}`,
            close: () => new Promise((resolve) => server.close(resolve))};
}

const temp_root = fs.mkdtempSync(path.join(os.tmpdir(), 'halvoran-web-'));
process.on('exit', () => fs.rmSync(temp_root, {recursive: true, force: true}));
let temp_count = 0;
export function temp_dir(name = 'd') {
    const dir = path.join(temp_root, `${name}-${++temp_count}`);
    fs.mkdirSync(dir);
    return dir;
}

// Resolves when check() returns a true value, looking every few
// milliseconds; rejects with what after timeout_ms. For files that another
// process writes, which give no event to wait for.
export async function until(check, what, timeout_ms = 10000) {
    const end = Date.now() + timeout_ms;
    for (;;) {
        const value = await check();
        if (value)
            return value;
        if (Date.now() > end)
            throw new Error(`timed out waiting for ${what}`);
        await new Promise((r) => setTimeout(r, 5));
    }
}

// ---------------------------------------------------------------------------
// The box simulator, with its transcript, received bytes and state folder.

export class boxsim {
    static async start(args = []) {
        const box = new boxsim();
        box.folder = temp_dir('box');
        box.state = path.join(box.folder, 'state');
        box.transcript_file = path.join(box.folder, 'transcript.txt');
        box.rx_file = path.join(box.folder, 'rx.bin');
        box.proc = spawn(boxsim_bin, ['--state', box.state, '--reset', '--transcript',
                                      box.transcript_file, '--rx-dump', box.rx_file, ...args],
                         {stdio: ['ignore', 'pipe', 'pipe']});
        box.stderr = '';
        box.proc.stderr.on('data', (d) => (box.stderr += d));
        box.exited = once(box.proc, 'exit');
        let out = '';
        box.device = await new Promise((resolve, reject) => {
            box.proc.stdout.on('data', (d) => {
                out += d;
                const nl = out.indexOf('\n');
                if (nl >= 0)
                    resolve(out.slice(0, nl));
            });
            box.proc.on('exit', () => reject(new Error('boxsim ended: ' + box.stderr)));
        });
        return box;
    }

    transcript() {
        return fs.existsSync(this.transcript_file) ? fs.readFileSync(this.transcript_file, 'latin1')
                                                   : '';
    }
    // The command lines received, in order.
    commands() {
        return this.transcript().split('\n').filter((l) => / > /.test(l))
            .map((l) => l.slice(l.indexOf(' > ') + 3));
    }
    rx_bytes() {
        return fs.existsSync(this.rx_file) ? fs.readFileSync(this.rx_file) : Buffer.alloc(0);
    }
    // How often the program let go of the line so far; the simulator writes
    // the note only after it took every byte the program sent before.
    closes() {
        return this.transcript().split('\n').filter((l) => l.endsWith('program closed the line'))
            .length;
    }
    async wait_for_closes(n, timeout_ms = 10000) {
        await until(() => this.closes() >= n, `${n} closes of the line`, timeout_ms);
    }
    async wait_for_command(prefix, timeout_ms = 10000) {
        await until(() => this.commands().some((c) => c.startsWith(prefix)), prefix, timeout_ms);
    }
    // The stored tables in the order of the list file.
    stored_tables() {
        return ['satellites', 'transponders', 'channels', 'favourites'].map(
            (t) => fs.readFileSync(path.join(this.state, t + '.bin')).toString('latin1'));
    }
    running() {
        return this.proc.exitCode === null && this.proc.signalCode === null;
    }
    async stop() {
        if (this.proc.exitCode === null && this.proc.signalCode === null) {
            this.proc.kill('SIGTERM');
            await this.exited;
        }
    }
}

// ---------------------------------------------------------------------------
// The native program against its own box, for comparison.

export async function run_native(device, args, cwd, timeout_ms = 60000) {
    const proc = spawn(program_bin, [device, ...args], {cwd, stdio: ['pipe', 'pipe', 'pipe']});
    proc.stdin.end();
    const chunks = [];
    proc.stdout.on('data', (d) => chunks.push(d));
    proc.stderr.on('data', (d) => chunks.push(d));
    const timer = setTimeout(() => proc.kill('SIGKILL'), timeout_ms);
    const [code, signal] = await once(proc, 'exit');
    clearTimeout(timer);
    return {status: signal ? 128 : code, out: Buffer.concat(chunks).toString('latin1')};
}

// The echo line of every run: "Parameter: <port> <job> <file>" and an empty
// line. Output is compared after it, since the page names its port apart.
const echo_line = /Parameter: [^\n]*\n\n/g;
// The echo lines and what follows each up to the next one.
export function runs_of(out) {
    const runs = [];
    const marks = [...out.matchAll(echo_line)];
    marks.forEach((m, i) => {
        const end = i + 1 < marks.length ? marks[i + 1].index : out.length;
        runs.push({echo: m[0], after: out.slice(m.index + m[0].length, end)});
    });
    return runs;
}
export function after_echo(out) {
    const runs = runs_of(out);
    if (runs.length !== 1)
        throw new Error(`expected one run, found ${runs.length}: ${JSON.stringify(out)}`);
    return runs[0].after;
}

// ---------------------------------------------------------------------------
// The line behind the stand-in port: one web_line_bridge per opening.

let line_count = 0;

class bridge_line {
    constructor(box, seed) {
        this.id = ++line_count;
        this.box = box;
        this.closes_before = box.closes();
        this.proc = spawn(bridge_bin, [box.device], {stdio: ['pipe', 'pipe', 'inherit', 'pipe']});
        this.queue = [];
        this.queued = 0;
        this.waiting_read = null;
        this.written = 0;
        this.taken = 0;
        this.ack_waiters = [];
        this.gone = false;
        this.ended = false;
        this.seed = seed >>> 0 || 1;
        this.proc.stdin.on('error', () => {});
        this.proc.stdout.on('data', (d) => {
            this.queue.push(d);
            this.queued += d.length;
            // Backpressure: the page reads no faster than it asks, and the
            // bridge then leaves the bytes in the terminal.
            if (this.queued > 256 * 1024)
                this.proc.stdout.pause();
            this.#wake_read();
        });
        let acks = '';
        this.proc.stdio[3].on('data', (d) => {
            acks += d;
            let nl;
            while ((nl = acks.indexOf('\n')) >= 0) {
                this.taken += Number(acks.slice(0, nl));
                acks = acks.slice(nl + 1);
            }
            this.#wake_acks();
        });
        this.exited = new Promise((resolve) => {
            this.proc.on('exit', (code) => {
                this.ended = true;
                // Status 3: the simulator closed its side, the device is gone.
                if (code === 3 || code === null)
                    this.gone = true;
                this.#wake_read();
                this.#wake_acks();
                resolve(code);
                if (this.gone && this.on_gone)
                    this.on_gone();
            });
        });
    }

    // A small xorshift generator: the pieces are split the same way in
    // every run of a case.
    #random() {
        let x = this.seed;
        x ^= x << 13;
        x ^= x >>> 17;
        x ^= x << 5;
        this.seed = x >>> 0;
        return this.seed / 4294967296;
    }

    #wake_read() {
        if (this.waiting_read && (this.queued > 0 || this.ended)) {
            const w = this.waiting_read;
            this.waiting_read = null;
            w();
        }
    }
    #wake_acks() {
        const still = [];
        for (const w of this.ack_waiters)
            if (this.taken >= w.target || this.ended)
                w.resolve();
            else
                still.push(w);
        this.ack_waiters = still;
    }

    // Up to max bytes as they came, merged across what is queued, and now
    // and then split short of what is there.
    async read(max) {
        if (this.queued === 0 && !this.ended)
            await new Promise((resolve) => (this.waiting_read = resolve));
        if (this.queued === 0)
            return {gone: true};
        let n = Math.min(max, this.queued);
        if (n > 1 && this.#random() < 0.25)
            n = 1 + Math.floor(this.#random() * (n - 1));
        const parts = [];
        let left = n;
        while (left > 0) {
            const head = this.queue[0];
            if (head.length <= left) {
                parts.push(head);
                this.queue.shift();
                left -= head.length;
            } else {
                parts.push(head.subarray(0, left));
                this.queue[0] = head.subarray(left);
                left = 0;
            }
        }
        this.queued -= n;
        if (this.queued <= 64 * 1024)
            this.proc.stdout.resume();
        return {bytes: Buffer.concat(parts).toString('latin1')};
    }

    async write(text) {
        if (this.ended)
            return {gone: true};
        const bytes = Buffer.from(text, 'latin1');
        this.written += bytes.length;
        const target = this.written;
        this.proc.stdin.write(bytes);
        await new Promise((resolve) => {
            this.ack_waiters.push({target, resolve});
            this.#wake_acks();
        });
        return this.taken >= target ? {ok: true} : {gone: true};
    }

    async drain() {
        await new Promise((resolve) => {
            this.ack_waiters.push({target: this.written, resolve});
            this.#wake_acks();
        });
    }

    discard_input() {
        this.queue = [];
        this.queued = 0;
        this.proc.stdout.resume();
    }
    discard_output() {
        if (!this.ended)
            this.proc.kill('SIGUSR1');
    }
    // The port's close resolves once the box noted that the line was let
    // go: a next opening right after it would otherwise be seen together
    // with the close, and the box would note neither, which the tests use
    // to know that the box took every byte of a run.
    async close() {
        this.proc.stdin.end();
        await this.exited;
        await until(() => this.box.closes() > this.closes_before || !this.box.running(),
                    'the box noting the close', 5000);
    }
    // The device vanishes: its end of the terminal is let go at once.
    async unplug() {
        this.gone = true;
        if (!this.ended)
            this.proc.kill('SIGKILL');
        await this.exited;
    }
}

// ---------------------------------------------------------------------------
// The browser: one for the whole run, a fresh context per case.

let browser = null;
export async function the_browser() {
    if (!browser)
        browser = await chromium.launch({
            executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
            args: ['--no-sandbox', '--headless', '--disable-gpu', '--disable-quic', '--no-first-run',
                   '--disable-background-networking', '--disable-component-update',
                   '--disable-sync', '--allow-file-access-from-files'],
        });
    return browser;
}
export async function close_browser() {
    if (browser)
        await browser.close();
    browser = null;
}

// A fresh page on the box: the stand-in port (present unless serial is
// false) leads to box.device. info is the port's getInfo().
export async function open_page(box, {serial = true, info = {usbVendorId: 0x0403,
                                                                usbProductId: 0x6001},
                                      seed = 1, url = page_url} = {}) {
    const context = await (await the_browser()).newContext({acceptDownloads: true});
    const lines = [];
    const page_errors = [];
    // Every request the page makes: it may ask for nothing but its own files.
    const requests = [];
    context.on('request', (r) => requests.push(r.url()));
    await context.exposeBinding('__standinLine', async (source, op, ...args) => {
        if (op === 'open') {
            const l = new bridge_line(box, seed + lines.length);
            lines.push(l);
            l.on_gone = () => source.page.evaluate(() => window.__standin.unplug()).catch(() => {});
            await once(l.proc, 'spawn');
            return l.id;
        }
        const l = lines.find((x) => x.id === args[0]);
        if (!l)
            throw new Error(`no line ${args[0]}`);
        switch (op) {
        case 'read': return l.read(args[1]);
        case 'write': return l.write(args[1]);
        case 'drain': return l.drain();
        case 'discard_input': return l.discard_input();
        case 'discard_output': return l.discard_output();
        case 'close': return l.close();
        case 'unplug': return l.unplug();
        }
        throw new Error(`unknown line operation ${op}`);
    });
    await context.addInitScript(install_serial_standin, {present: serial, info});
    const page = await context.newPage();
    page.on('pageerror', (e) => page_errors.push(String(e)));
    await page.goto(url);
    return {
        page, context, lines, page_errors, requests,
        async close() {
            await context.close();
            for (const l of lines)
                if (!l.ended)
                    await l.unplug();
        },
    };
}

// The page's program started and the port picked.
export async function ready_and_connected(page) {
    await page.evaluate(() => window.halvoranPage.ready);
    await page.click('#connect');
    await page.waitForFunction(() => document.querySelector('#port').textContent.trim() !== '');
}

// Starts a job with a button and waits for its end; returns the status.
export async function run_job(page, button, timeout = 60000) {
    await page.click(button);
    return wait_job_end(page, timeout);
}
export async function wait_job_end(page, timeout = 60000) {
    await page.waitForFunction(() => document.body.dataset.busy !== '1' &&
                                     document.querySelector('#result').hasAttribute('data-status'),
                               null, {timeout});
    return page.$eval('#result', (e) => e.getAttribute('data-status'));
}

export async function output_bytes(page) {
    return page.evaluate(() => window.halvoranPage.outputBytes());
}

// A file for a file input or a drop: name and bytes.
export function file_payload(name, bytes) {
    return {name, mimeType: 'application/octet-stream', buffer: Buffer.from(bytes)};
}

// ---------------------------------------------------------------------------
// Test data, made as tests/support/test_data.cpp makes it.

// A firmware image with a good header ("010", two bytes the check ignores,
// "ZOVA") whose other bytes are not zero; the version text at bytes 9 to 19.
export function make_image(size, version = '') {
    const image = Buffer.alloc(size);
    for (let i = 0; i < size; ++i)
        image[i] = (i * 7 + 3) % 251;
    Buffer.from('010\xff\x80ZOVA', 'latin1').copy(image, 0);
    if (version) {
        image.fill(0, 9, 20);
        Buffer.from(version, 'latin1').copy(image, 9);
    }
    return image;
}

// The list's info text stamp "YYYY-MM-DD hh:mm" (bytes 54 to 70 of a saved
// list): the local minute the save wrote it.
export const stamp_at = 54;
export const stamp_length = 16;
export function stamp_of(list) {
    return Buffer.from(list).toString('latin1', stamp_at, stamp_at + stamp_length);
}
export function without_stamp(list) {
    const b = Buffer.from(list);
    b.fill(0x2a, stamp_at, stamp_at + stamp_length);
    return b;
}
const two = (n) => String(n).padStart(2, '0');
export function local_minute(date) {
    return `${date.getFullYear()}-${two(date.getMonth() + 1)}-${two(date.getDate())} ` +
           `${two(date.getHours())}:${two(date.getMinutes())}`;
}
// The local minutes from start to end (both Dates), as stamps.
export function minutes_between(start, end) {
    const out = [];
    const t = new Date(start);
    t.setSeconds(0, 0);
    for (; t <= end; t.setMinutes(t.getMinutes() + 1))
        out.push(local_minute(t));
    return out;
}

// The texts the tests expect, from the table every test uses
// (tests/support/texts.hpp), read by their names.
const texts_source = fs.readFileSync(path.join(repo, 'tests/support/texts.hpp'), 'latin1');
export function text(name) {
    const m = texts_source.match(new RegExp(
        `inline const std::string ${name} =\\s*((?:"(?:[^"\\\\]|\\\\.)*"\\s*)+);`));
    if (!m)
        throw new Error(`no text ${name} in tests/support/texts.hpp`);
    return [...m[1].matchAll(/"((?:[^"\\]|\\.)*)"/g)]
        .map((x) => x[1].replace(/\\(n|b|t|"|\\)/g, (_, c) => ({n: '\n', b: '\b', t: '\t'}[c] ?? c)))
        .join('');
}
