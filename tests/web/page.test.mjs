// The web page end to end: the page from build/web/page in headless
// Chromium, its WebAssembly talking through the stand-in serial port
// (serial_standin.mjs) to boxsim. Each job is compared with the native
// program against an identical box: the output after each echo line, every
// byte the box received, and the files the page offers for download.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {after, before, describe, test} from 'node:test';

import * as h from './harness.mjs';

const port_label = 'usb-0403-6001';
// The argument echo: port and job, a space after the second argument when
// there is no third (as msg::echo in tests/support/texts.hpp).
const echo = (port, second, third = '') => `Parameter: ${port} ${second} ${third}\n\n`;
const line_gone = h.text('line_gone');
const all_done = h.text('all_done');

// Lists made once by the native program: one of the default box (the same
// as every fresh default box holds) and one of a box with other records.
let list_same, list_other;

before(async () => {
    assert.ok(fs.existsSync(h.page_file), `${h.page_file} is missing: run scripts/web.sh first`);
    const make = async (args) => {
        const box = await h.boxsim.start(args);
        const dir = h.temp_dir('list');
        const r = await h.run_native(box.device, ['s', 'l.cxf'], dir);
        await box.stop();
        assert.equal(r.status, 0, r.out);
        return fs.readFileSync(path.join(dir, 'l.cxf'));
    };
    [list_same, list_other] = await Promise.all([make([]), make(['--seed', '9'])]);
    await h.the_browser();
});
after(() => h.close_browser());

// The screenshots of a save go into build/web/screenshots; with
// HALVORAN_SCREENSHOTS=doc they replace the ones the README shows.
function screenshot(moment) {
    const dir = process.env.HALVORAN_SCREENSHOTS ? path.resolve(h.repo, process.env.HALVORAN_SCREENSHOTS)
                                                 : path.join(h.repo, 'build/web/screenshots');
    fs.mkdirSync(dir, {recursive: true});
    return path.join(dir, `web-${moment}.png`);
}

// Every download the page offers, as it comes.
function collect_downloads(page) {
    const list = [];
    page.on('download', (d) => list.push(d));
    return list;
}
async function saved_download(list, name, dir) {
    const d = await h.until(() => list.find((x) => name.test(x.suggestedFilename())),
                            `a download named ${name}`);
    const file = path.join(dir, d.suggestedFilename());
    await d.saveAs(file);
    return {name: d.suggestedFilename(), bytes: fs.readFileSync(file)};
}

// A case: the same box twice, the page on one and the native program on the
// other, run at once.
async function boxes(args = []) {
    return Promise.all([h.boxsim.start(args), h.boxsim.start(args)]);
}
// Ends after the box noted each run's end of the line, unless the box hangs
// up (and ends) within a run.
async function native_runs(box, runs, files = {}, {box_ends = false} = {}) {
    const dir = h.temp_dir('native');
    for (const [name, bytes] of Object.entries(files))
        fs.writeFileSync(path.join(dir, name), bytes);
    // The box notes a close only when the next run's open comes later, so
    // each run waits for its note.
    const results = [];
    for (const args of runs) {
        results.push(await h.run_native(box.device, args, dir));
        if (!box_ends)
            await box.wait_for_closes(results.length);
    }
    return {dir, results};
}

// The page's output against the native runs: one echo per run, each with
// the page's port, and the same output after it.
function assert_same_runs(page_out, native, page_echoes) {
    const runs = h.runs_of(page_out);
    assert.deepEqual(runs.map((r) => r.echo), page_echoes, page_out);
    runs.forEach((r, i) => assert.equal(r.after, h.after_echo(native.results[i].out),
                                        `run ${i + 1} after its echo`));
}

// A saved list: the same bytes as the native one but for the stamp, which
// is a local minute of the run.
function assert_same_list(web, native, start, end) {
    assert.deepEqual(h.without_stamp(web), h.without_stamp(native));
    const minutes = h.minutes_between(start, end);
    assert.ok(minutes.includes(h.stamp_of(web)), `stamp ${h.stamp_of(web)} in ${minutes}`);
}

describe('jobs compared with the native program', () => {
    test('save offers senderl.cxf with the native program\'s bytes', async () => {
        const [web_box, native_box] = await boxes();
        const p = await h.open_page(web_box);
        try {
            const downloads = collect_downloads(p.page);
            await h.ready_and_connected(p.page);
            const start = new Date();
            const [status, native] = await Promise.all([
                h.run_job(p.page, '#job-save'), native_runs(native_box, [['s']])]);
            const saved = await saved_download(downloads, /^senderl\.cxf$/, h.temp_dir('dl'));
            await web_box.wait_for_closes(1);
            const end = new Date();
            assert.equal(status, String(native.results[0].status));
            assert.equal(status, '0');
            assert_same_runs(await h.output_bytes(p.page), native, [echo(port_label, 's')]);
            assert.deepEqual(web_box.rx_bytes(), native_box.rx_bytes());
            assert_same_list(saved.bytes, fs.readFileSync(path.join(native.dir, 'senderl.cxf')),
                             start, end);
            assert.deepEqual(p.page_errors, []);
            // Opened as a local file it asks for its own files and the
            // WebAssembly inside its script, nothing else.
            assert.deepEqual(p.requests.filter((u) => !u.startsWith('data:') && !u.startsWith('blob:'))
                                 .map((u) => path.basename(new URL(u).pathname)).sort(),
                             page_files);
        } finally {
            await p.close();
            await Promise.all([web_box.stop(), native_box.stop()]);
        }
    });

    test('firmware update of a picked image', async () => {
        const image = h.make_image(3000, '1.10 (2026)');
        const [web_box, native_box] = await boxes();
        const p = await h.open_page(web_box);
        try {
            await h.ready_and_connected(p.page);
            await p.page.setInputFiles('#image-file', h.file_payload('neu.zova', image));
            const [status, native] = await Promise.all([
                h.run_job(p.page, '#job-firmware'),
                native_runs(native_box, [['neu.zova']], {'neu.zova': image})]);
            await web_box.wait_for_closes(1);
            assert.equal(status, String(native.results[0].status));
            assert.equal(status, '0');
            assert_same_runs(await h.output_bytes(p.page), native, [echo(port_label, 'neu.zova')]);
            assert.deepEqual(web_box.rx_bytes(), native_box.rx_bytes());
            assert.deepEqual(fs.readFileSync(path.join(web_box.state, 'image.bin')), image);
        } finally {
            await p.close();
            await Promise.all([web_box.stop(), native_box.stop()]);
        }
    });

    test('load saves the safety copy first, then loads the list', async () => {
        const [web_box, native_box] = await boxes();
        const p = await h.open_page(web_box);
        try {
            const downloads = collect_downloads(p.page);
            await h.ready_and_connected(p.page);
            assert.equal(await p.page.isChecked('#safety'), true);
            await p.page.setInputFiles('#list-file', h.file_payload('meine.cxf', list_other));
            const start = new Date();
            const status = await h.run_job(p.page, '#job-load');
            const copy = await saved_download(downloads, /^senderl-sicherung-/, h.temp_dir('dl'));
            await web_box.wait_for_closes(2);
            const end = new Date();
            assert.equal(status, '0');
            // The copy is named for the local minute it was made.
            const m = copy.name.match(/^senderl-sicherung-(\d{4}-\d\d-\d\d)-(\d\d)(\d\d)\.cxf$/);
            assert.ok(m, copy.name);
            assert.ok(h.minutes_between(start, end).includes(`${m[1]} ${m[2]}:${m[3]}`), copy.name);

            const native = await native_runs(native_box, [['s', copy.name], ['l', 'meine.cxf']],
                                             {'meine.cxf': list_other});
            assert.deepEqual(native.results.map((r) => r.status), [0, 0]);
            assert_same_runs(await h.output_bytes(p.page), native,
                             [echo(port_label, 's', copy.name), echo(port_label, 'l', 'meine.cxf')]);
            assert.deepEqual(web_box.rx_bytes(), native_box.rx_bytes());
            assert_same_list(copy.bytes, fs.readFileSync(path.join(native.dir, copy.name)), start,
                             end);
            // The copy holds the box as it was: the default box's list.
            assert.deepEqual(h.without_stamp(copy.bytes), h.without_stamp(list_same));
            await Promise.all([web_box.stop(), native_box.stop()]);
            assert.deepEqual(web_box.stored_tables(), native_box.stored_tables());
        } finally {
            await p.close();
            await Promise.all([web_box.stop(), native_box.stop()]);
        }
    });

    for (const [name, list, expected, info, port] of [
        ['verify of an equal list ends with status 0', () => list_same, '0',
         {usbVendorId: 0x0403, usbProductId: 0x6001}, port_label],
        // A port without USB ids is named "webserial".
        ['verify of a differing list ends with status 3', () => list_other, '3', null, 'webserial'],
    ]) {
        test(name, async () => {
            const [web_box, native_box] = await boxes();
            const p = await h.open_page(web_box, {info});
            try {
                await h.ready_and_connected(p.page);
                await p.page.setInputFiles('#list-file', h.file_payload('liste.cxf', list()));
                const [status, native] = await Promise.all([
                    h.run_job(p.page, '#job-verify'),
                    native_runs(native_box, [['v', 'liste.cxf']], {'liste.cxf': list()})]);
                await web_box.wait_for_closes(1);
                assert.equal(status, expected);
                assert.equal(status, String(native.results[0].status));
                assert_same_runs(await h.output_bytes(p.page), native, [echo(port, 'v', 'liste.cxf')]);
                assert.deepEqual(web_box.rx_bytes(), native_box.rx_bytes());
            } finally {
                await p.close();
                await Promise.all([web_box.stop(), native_box.stop()]);
            }
        });
    }

    test('a damaged list is refused before any write request', async () => {
        // An info text longer than the format allows.
        const damaged = Buffer.from(list_same);
        damaged.writeUInt32LE(0x7fffffff, 32);
        const [web_box, native_box] = await boxes();
        const p = await h.open_page(web_box);
        try {
            await h.ready_and_connected(p.page);
            await p.page.uncheck('#safety');
            await p.page.setInputFiles('#list-file', h.file_payload('kaputt.cxf', damaged));
            const [status, native] = await Promise.all([
                h.run_job(p.page, '#job-load'),
                native_runs(native_box, [['l', 'kaputt.cxf']], {'kaputt.cxf': damaged})]);
            await web_box.wait_for_closes(1);
            assert.equal(status, '2');
            assert.equal(status, String(native.results[0].status));
            assert_same_runs(await h.output_bytes(p.page), native, [echo(port_label, 'l', 'kaputt.cxf')]);
            assert.deepEqual(web_box.rx_bytes(), native_box.rx_bytes());
            assert.ok(!web_box.commands().some((c) => /^500 \d 3 /.test(c)), web_box.commands());
        } finally {
            await p.close();
            await Promise.all([web_box.stop(), native_box.stop()]);
        }
    });

    test('a silent box: the connection check gives up as the native program does', async () => {
        const [web_box, native_box] = await boxes(['--fault', 'silent,*,*']);
        const p = await h.open_page(web_box);
        try {
            await h.ready_and_connected(p.page);
            const [status, native] = await Promise.all([
                h.run_job(p.page, '#job-save'), native_runs(native_box, [['s']])]);
            await web_box.wait_for_closes(1);
            assert.notEqual(status, '0');
            assert.equal(status, String(native.results[0].status));
            assert_same_runs(await h.output_bytes(p.page), native, [echo(port_label, 's')]);
            assert.deepEqual(web_box.rx_bytes(), native_box.rx_bytes());
            assert.notEqual((await p.page.textContent('#result')).trim(), '');
        } finally {
            await p.close();
            await Promise.all([web_box.stop(), native_box.stop()]);
        }
    });
});

describe('the port pulled out', () => {
    test('mid-load: the job ends with the cause line, the box keeps its tables', async () => {
        // The box holds the program's output once it answered the
        // transponders' write request, so that the port is pulled out
        // mid-load whatever the machine's speed; the native program meets
        // the line hung up at the same request.
        const web_box = await h.boxsim.start(
            ['--fault', `hold,500 1 3,1,${path.join(h.temp_dir('never'), 'never')}`]);
        const native_box = await h.boxsim.start(['--fault', 'hangup,500 1 3']);
        const p = await h.open_page(web_box);
        try {
            await h.ready_and_connected(p.page);
            await p.page.uncheck('#safety');
            await p.page.setInputFiles('#list-file', h.file_payload('meine.cxf', list_other));
            const before_tables = web_box.stored_tables();
            await p.page.evaluate(() => {
                window.__disconnects = [];
                const port = window.__standin.port;
                port.addEventListener('disconnect', (e) => window.__disconnects.push(
                    ['port', e.target === port, e.bubbles]));
                navigator.serial.addEventListener('disconnect', (e) => window.__disconnects.push(
                    ['serial', e.target === port, e.bubbles]));
            });
            const native = native_runs(native_box, [['l', 'meine.cxf']], {'meine.cxf': list_other},
                                       {box_ends: true});
            await p.page.click('#job-load');
            await h.until(() => /output is held until/.test(web_box.transcript()),
                          'the box holding the line');
            assert.equal(await p.page.evaluate(() => document.body.dataset.busy), '1');
            await p.page.evaluate(() => window.__standin.unplug());
            const status = await h.wait_job_end(p.page, 15000);
            assert.equal(status, '2');
            const out = await h.output_bytes(p.page);
            assert.ok(out.endsWith(line_gone), JSON.stringify(out.slice(-300)));
            // Where the line breaks off differs: the page's write under way
            // fails, while the native program's writes still went into the
            // terminal and its read for the answer finds the line gone. The
            // status and the cause line are the same.
            const native_run = (await native).results[0];
            assert.equal(status, String(native_run.status));
            assert.ok(native_run.out.endsWith(line_gone), native_run.out);
            assert.notEqual((await p.page.textContent('#result')).trim(), '');
            assert.deepEqual(await p.page.evaluate(() => window.__disconnects),
                             [['port', true, true], ['serial', true, true]]);
            assert.deepEqual(await p.page.evaluate(() => navigator.serial.getPorts()), []);
            assert.ok(!web_box.commands().includes('500 0 4 1'), 'no store request');
            await web_box.stop();
            assert.deepEqual(web_box.stored_tables(), before_tables);
        } finally {
            await p.close();
            await Promise.all([web_box.stop(), native_box.stop()]);
        }
    });
});

// What the page's folder holds, and all it ever asks for.
const page_files = ['halvoranupdate.js', 'index.html', 'page.css', 'page.js'];

describe('the page', () => {
    test('from a static host it asks that host for its four files and nothing else', async () => {
        const host = await h.static_host();
        const box = await h.boxsim.start();
        const p = await h.open_page(box, {url: `${host.origin}/index.html`});
        try {
            await h.ready_and_connected(p.page);
            assert.equal(await h.run_job(p.page, '#job-save'), '0');
            const own = p.requests.filter((u) => !u.startsWith('data:') && !u.startsWith('blob:'));
            assert.deepEqual(own.filter((u) => !u.startsWith(host.origin + '/')), []);
            assert.deepEqual(own.map((u) => new URL(u).pathname.slice(1)).sort(), page_files);
            assert.deepEqual(p.page_errors, []);
        } finally {
            await p.close();
            await box.stop();
            await host.close();
        }
    });

    test('a save in pictures; no second job starts while one runs', async () => {
        // The box holds the program's output after the transponders' block,
        // so that the page is seen mid-percentage.
        const release = path.join(h.temp_dir('release'), 'go');
        const box = await h.boxsim.start(['--fault', `hold,500 1 2,1,${release}`]);
        const p = await h.open_page(box);
        try {
            await p.page.setViewportSize({width: 1000, height: 700});
            await h.ready_and_connected(p.page);
            await p.page.screenshot({path: screenshot('before'), fullPage: true});
            await p.page.click('#job-save');
            await h.until(() => /output is held until/.test(box.transcript()),
                          'the box holding the line');
            await p.page.waitForFunction(() => /\d+%/.test(document.querySelector('#output')
                                                                 .textContent));
            assert.equal(await p.page.evaluate(() => document.body.dataset.busy), '1');
            assert.equal(await p.page.$eval('#result', (e) => e.hasAttribute('data-status')),
                         false);
            for (const b of ['#job-firmware', '#job-save', '#job-load', '#job-verify']) {
                assert.equal(await p.page.isDisabled(b), true, b);
                // Even a click the button does not stop starts nothing.
                await p.page.$eval(b, (e) => e.click());
            }
            await p.page.screenshot({path: screenshot('during'), fullPage: true});
            fs.writeFileSync(release, '');
            assert.equal(await h.wait_job_end(p.page), '0');
            await box.wait_for_closes(1);
            await p.page.screenshot({path: screenshot('after'), fullPage: true});
            const out = await h.output_bytes(p.page);
            assert.equal(h.runs_of(out).length, 1, out);
            assert.ok(h.after_echo(out).endsWith(all_done + '\n'), JSON.stringify(out.slice(-80)));
            assert.equal(box.commands().filter((c) => c === '501').length, 1);
            assert.equal(box.closes(), 1);
        } finally {
            await p.close();
            await box.stop();
        }
    });

    test('the trace switch gives a downloadable trace', async () => {
        const box = await h.boxsim.start();
        const p = await h.open_page(box);
        try {
            const downloads = collect_downloads(p.page);
            await h.ready_and_connected(p.page);
            await p.page.check('#trace');
            assert.equal(await h.run_job(p.page, '#job-save'), '0');
            await p.page.waitForSelector('#trace-download');
            await p.page.click('#trace-download');
            const trace = await saved_download(downloads, /^halvoran-trace\.txt$/, h.temp_dir('dl'));
            const lines = trace.bytes.toString('latin1');
            assert.match(lines, /start halvoranupdate/);
            assert.match(lines, /> 503 18\n/);
        } finally {
            await p.close();
            await box.stop();
        }
    });

    test('a dropped file is recognised by its contents', async () => {
        const box = await h.boxsim.start();
        const p = await h.open_page(box);
        try {
            await h.ready_and_connected(p.page);
            const drop = (name, bytes) => p.page.evaluate(([name, data]) => {
                const transfer = new DataTransfer();
                const bytes = Uint8Array.from(data, (c) => c.charCodeAt(0));
                transfer.items.add(new File([bytes], name));
                for (const type of ['dragenter', 'dragover', 'drop'])
                    document.body.dispatchEvent(new DragEvent(type, {
                        bubbles: true, cancelable: true, dataTransfer: transfer}));
            }, [name, Buffer.from(bytes).toString('latin1')]);
            // A list under a name that does not say so.
            await drop('sender.dat', list_same);
            await p.page.waitForFunction(() => window.halvoranPage.outputBytes()
                                                   .includes('Senderliste sender.dat\n'));
            const out = await h.output_bytes(p.page);
            assert.match(out, /Satelliten 20, Transponder 100, TV 300, Radio 100, Favoriten 200\n/);
            // An image likewise.
            const image = h.make_image(1000);
            await drop('update.bin', image);
            await p.page.waitForFunction(() => window.halvoranPage.outputBytes()
                                                   .includes('Firmware update.bin, 1000 Bytes\n'));
        } finally {
            await p.close();
            await box.stop();
        }
    });

    test('without navigator.serial the page says so and offers no job', async () => {
        const box = await h.boxsim.start();
        const p = await h.open_page(box, {serial: false});
        try {
            await p.page.waitForSelector('#no-serial', {state: 'visible'});
            assert.notEqual((await p.page.textContent('#no-serial')).trim(), '');
            for (const b of ['#connect', '#job-firmware', '#job-save', '#job-load', '#job-verify', '#trace']) {
                const offered = await p.page.$eval(b, (e) => !e.disabled && e.offsetParent !== null)
                    .catch(() => false);
                assert.equal(offered, false, b);
            }
            assert.equal(box.closes(), 0);
            assert.ok(!/program opened the line/.test(box.transcript()));
        } finally {
            await p.close();
            await box.stop();
        }
    });
});
