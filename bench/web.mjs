// The web page's benchmark: a full-box save and load through the page (the
// stand-in serial port of tests/web to boxsim on a line paced at 115200
// baud), against the line's limit as bench/run.sh computes it for the
// native program: the bytes on the line in both directions x 10 / 115200,
// plus the pauses (200 ms after the connection check, 1000 ms after
// "503 18"). The native program's runs beside it. Writes
// bench/results/web.md. Not part of the tests: the figures depend on the
// machine and on what else runs on it.
//
//   node bench/web.mjs        (after scripts/web.sh, the default build and
//                              npm ci --prefix tests/web)
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import * as h from '../tests/web/harness.mjs';

const baud = 115200;
const full_box = ['--sat', '250', '--tp', '4000', '--tv', '5000', '--radio', '1000', '--fav', '100'];
const paced = ['--baud', String(baud), ...full_box];
const pauses = 0.2 + 1.0;

// The bytes that crossed the line in the box's one run.
function line_bytes(box) {
    const m = box.transcript().match(/line carried (\d+) bytes from the program and (\d+) bytes to it/);
    if (!m)
        throw new Error('no line note in the transcript');
    return {to_box: Number(m[1]), from_box: Number(m[2])};
}
function measured(name, side, wall, box, status) {
    if (status !== 0)
        throw new Error(`${side} ${name} ended with status ${status}`);
    const bytes = line_bytes(box);
    const limit = (bytes.to_box + bytes.from_box) * 10 / baud + pauses;
    return {name, side, wall, limit, ratio: wall / limit, ...bytes};
}

async function native(name, args, files) {
    const box = await h.boxsim.start(paced);
    const dir = h.temp_dir('native');
    for (const [f, bytes] of Object.entries(files))
        fs.writeFileSync(path.join(dir, f), bytes);
    const start = performance.now();
    const r = await h.run_native(box.device, args, dir, 300000);
    const wall = (performance.now() - start) / 1000;
    await box.wait_for_closes(1);
    await box.stop();
    return measured(name, 'native', wall, box, r.status);
}

// The program's own time on the page, from its trace: from the start of the
// job to its exit, and how long of that the port took to open (through the
// stand-in, which starts a line bridge).
async function traced_times(page) {
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#trace-download')]);
    const lines = fs.readFileSync(await download.path(), 'latin1').trim().split('\n');
    const ms = (re) => Number((lines.find((l) => re.test(l)) || 'NaN').split(' ')[0]);
    return {program: ms(/^\d+ exit /) / 1000, open: ms(/^\d+ port /) / 1000};
}

async function web(name, button, setup) {
    const box = await h.boxsim.start(paced);
    const p = await h.open_page(box);
    try {
        await h.ready_and_connected(p.page);
        await setup(p.page);
        await p.page.check('#trace');
        const start = performance.now();
        const status = await h.run_job(p.page, button, 300000);
        const wall = (performance.now() - start) / 1000;
        await box.wait_for_closes(1);
        await box.stop();
        return {...measured(name, 'web', wall, box, Number(status)), ...(await traced_times(p.page))};
    } finally {
        await p.close();
        await box.stop();
    }
}

// The list to load: another box's, saved on the unpaced line.
const source = await h.boxsim.start(['--seed', '9', ...full_box]);
const list_dir = h.temp_dir('list');
const made = await h.run_native(source.device, ['s', 'meine.cxf'], list_dir);
await source.stop();
if (made.status !== 0)
    throw new Error('the list to load could not be saved: ' + made.out);
const list = fs.readFileSync(path.join(list_dir, 'meine.cxf'));

const rows = [];
rows.push(await web('save', '#job-save', async () => {}));
rows.push(await native('save', ['s'], {}));
rows.push(await web('load', '#job-load', async (page) => {
    await page.uncheck('#safety');
    await page.setInputFiles('#list-file', h.file_payload('meine.cxf', list));
}));
rows.push(await native('load', ['l', 'meine.cxf'], {'meine.cxf': list}));
await h.close_browser();

const f = (x, n = 3) => x.toFixed(n);
let md = '# The web page on a paced line\n\n';
md += `\`node bench/web.mjs\`, ${new Date().toISOString().slice(0, 16)} UTC, ${os.cpus().length} ` +
      `cores (${os.cpus()[0].model}), Chromium headless, boxsim --baud ${baud}.\n\n`;
md += 'A full box (250 satellites, 4000 transponders, 5000 TV and 1000 radio channels, 100 ' +
      'favourites), each job once against a fresh simulator. Limit = bytes on the line x 10 / ' +
      `${baud} + the pauses (200 ms after the connection check, 1000 ms after "503 18"), as ` +
      'bench/run.sh computes it. The page\'s wall time runs from the click on the job\'s button ' +
      'to the result on the page; the native one from the start of the process to its end. ' +
      'The page\'s load runs without its safety copy. The simulator and the browser are not ' +
      'pinned to a CPU here, unlike bench/run.sh.\n\n';
md += '| job | program | bytes to box | bytes from box | limit s | wall s | wall / limit |\n';
md += '|---|---|---|---|---|---|---|\n';
for (const r of rows)
    md += `| ${r.name} | ${r.side} | ${r.to_box} | ${r.from_box} | ${f(r.limit)} | ${f(r.wall)} | ` +
          `${f(r.ratio, 4)} |\n`;
md += '\nThe page\'s runs are traced ("Protokoll"). Its trace gives the program\'s own time, from ' +
      'the start of the job to its exit, and how much of it the port took to open through the ' +
      'stand-in (which starts a line bridge to the simulator); the rest of the wall time is the ' +
      'page: the click, the stand-in\'s close and the result.\n\n';
md += '| job | program s | of it: port open s | program without the open / limit |\n|---|---|---|---|\n';
for (const r of rows.filter((x) => x.side === 'web'))
    md += `| ${r.name} | ${f(r.program)} | ${f(r.open)} | ${f((r.program - r.open) / r.limit, 4)} |\n`;
fs.mkdirSync(path.join(h.repo, 'bench/results'), {recursive: true});
fs.writeFileSync(path.join(h.repo, 'bench/results/web.md'), md);
process.stdout.write(md);
