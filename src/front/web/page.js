// The web page around the program's WebAssembly (halvoranupdate.js): the
// port chosen in the browser's chooser, the files picked or dropped, one
// job at a time, the program's output as it prints it, and the files it
// writes offered for download. What goes to the box and what is printed
// from the argument echo on is the program's own (web_run).
// Everything stays inside this function: the runtime's script declares
// globals of its own (run, FS, ...). Only Module is shared with it.
(() => {
"use strict";

const $ = (id) => document.getElementById(id);

// The Web Serial backend of the program reads the chosen port from here.
const serial = (globalThis.halvoranSerial = globalThis.halvoranSerial || {});

const page = {
  port: null, // the SerialPort chosen, kept for the session
  list: null, // {name, bytes} of the list picked or dropped
  image: null, // {name, bytes} of the image picked or dropped
  busy: false,
  started: false,
};

// ---- The output area -------------------------------------------------------
//
// Every byte the program prints, as printed (outputBytes, for whoever needs
// the exact text), and its rendering as a terminal shows it: a carriage
// return goes back to the start of the line and a backspace one column, so
// that the percentage overwrites itself in place.

let printed = "";
const screen = { done: "", line: [], column: 0, utf8: [], dirty: false };

function put_char(ch) {
  if (screen.column < screen.line.length) screen.line[screen.column] = ch;
  else screen.line.push(ch);
  screen.column += 1;
}

function print_byte(byte) {
  if (byte === null || byte === undefined) return;
  printed += String.fromCharCode(byte);
  if (screen.utf8.length > 0 || byte >= 0x80) {
    // A character of several bytes (a path's): shown once it is whole.
    screen.utf8.push(byte);
    const need = screen.utf8[0] >= 0xf0 ? 4 : screen.utf8[0] >= 0xe0 ? 3 : screen.utf8[0] >= 0xc0 ? 2 : 1;
    if (screen.utf8.length < need) return;
    put_char(new TextDecoder().decode(new Uint8Array(screen.utf8)));
    screen.utf8 = [];
  } else if (byte === 0x0a) {
    screen.done += screen.line.join("") + "\n";
    screen.line = [];
    screen.column = 0;
  } else if (byte === 0x0d) {
    screen.column = 0;
  } else if (byte === 0x08) {
    if (screen.column > 0) screen.column -= 1;
  } else if (byte >= 0x20 || byte === 0x09) {
    put_char(String.fromCharCode(byte));
  }
  if (!screen.dirty) {
    screen.dirty = true;
    requestAnimationFrame(render);
  }
}

// A job's output starts on a line of its own on the screen, also where the
// one before left its line open (the load's percentage); the bytes stay as
// printed.
function start_screen_line() {
  if (screen.line.length === 0) return;
  screen.done += screen.line.join("") + "\n";
  screen.line = [];
  screen.column = 0;
}

function render() {
  screen.dirty = false;
  const out = $("output");
  const follow = out.scrollTop + out.clientHeight >= out.scrollHeight - 4;
  out.textContent = screen.done + screen.line.join("");
  if (follow) out.scrollTop = out.scrollHeight;
}

// ---- The program -----------------------------------------------------------

let ready_resolve;
const ready = new Promise((resolve) => (ready_resolve = resolve));

// For emscripten's runtime (halvoranupdate.js, loaded after this file), which
// takes Module as its settings and adds ccall and FS to it:
// standard output and error byte by byte into the output area.
const Module = (globalThis.Module = {
  stdout: print_byte,
  stderr: print_byte,
  postRun: [
    () => {
      page.started = true;
      update_controls();
      ready_resolve();
    },
  ],
});

function run_program(port, job, list, copy, trace) {
  return Module.ccall("web_run", "number", ["string", "string", "string", "string", "string"],
    [port, job, list, copy, trace], { async: true });
}

// The files the program reads and writes are in its working folder of the
// in-memory file system.
function file_exists(name) {
  try {
    Module.FS.stat(name);
    return true;
  } catch {
    return false;
  }
}

function remove_file(name) {
  if (file_exists(name)) Module.FS.unlink(name);
}

// A name for the in-memory file system: the picked file's own, without
// what a path would make of it. "s", "l" and "v" alone name jobs, not files.
function memory_name(name) {
  let clean = name.replace(/[\/\0]/g, "_");
  if (clean === "" || clean === "." || clean === "..") clean = "datei";
  return clean === "s" || clean === "l" || clean === "v" ? "./" + clean : clean;
}

// ---- Files picked or dropped -----------------------------------------------

// Shows a picked or dropped file as the program shows a dropped file, and
// keeps it for its job. want: "list", "image" or "any" (a dropped file).
async function take_file(file, want) {
  if (!file || page.busy) return;
  const bytes = new Uint8Array(await file.arrayBuffer());
  // A job that started while the file was read holds the program: nothing
  // may call into it until the job has ended.
  if (page.busy) {
    say("Während ein Auftrag läuft, wird keine Datei angenommen: " + file.name, "busy");
    return;
  }
  const name = memory_name(file.name);
  Module.FS.writeFile(name, bytes);
  const kind = Module.ccall("web_show_file", "number", ["string"], [name]);
  const entry = { name, bytes, label: file.name };
  const is_list = Math.abs(kind) === 1;
  const is_image = Math.abs(kind) === 2;
  if (want === "list" || (want === "any" && is_list)) {
    page.list = entry;
    if (!is_list) say("Das ist keine Senderliste: " + file.name, "bad");
    else if (kind < 0) say("Diese Senderliste nimmt die Box nicht an, siehe Ausgabe.", "bad");
    else say("Senderliste " + file.name + " gewählt: laden oder vergleichen.", "");
  } else if (want === "image" || (want === "any" && is_image)) {
    page.image = entry;
    if (!is_image) say("Das ist keine Firmware: " + file.name, "bad");
    else if (kind < 0) say("Diese Datei lässt sich nicht lesen, siehe Ausgabe.", "bad");
    else say("Firmware " + file.name + " gewählt.", "");
  } else {
    say("Diese Datei ist weder eine Senderliste noch eine Firmware: " + file.name, "bad");
  }
  update_controls();
}

// ---- Downloads --------------------------------------------------------------

function offer_download(name, bytes, id) {
  const url = URL.createObjectURL(new Blob([bytes], { type: "application/octet-stream" }));
  const link = document.createElement("a");
  link.href = url;
  link.download = name;
  link.textContent = name;
  if (id) {
    const old = $(id);
    if (old) old.remove();
    link.id = id;
  }
  $("downloads").append(link);
  return link;
}

// The saved list: into the file the user chose where the browser lets a
// page write one, else as a download.
async function deliver_list(name, handle) {
  const bytes = Module.FS.readFile(name);
  if (handle) {
    try {
      const writable = await handle.createWritable();
      await writable.write(bytes);
      await writable.close();
      return "gespeichert als " + handle.name;
    } catch (e) {
      offer_download(name, bytes).click();
      return "konnte nicht dorthin geschrieben werden (" + e.message + "), stattdessen heruntergeladen als " + name;
    }
  }
  offer_download(name, bytes).click();
  return "heruntergeladen als " + name;
}

// ---- The jobs ---------------------------------------------------------------

function port_label(port) {
  const info = port && port.getInfo ? port.getInfo() : {};
  const hex = (value) => value.toString(16).padStart(4, "0");
  if (info && info.usbVendorId !== undefined && info.usbProductId !== undefined)
    return "usb-" + hex(info.usbVendorId) + "-" + hex(info.usbProductId);
  return "webserial";
}

function say(text, kind) {
  const result = $("result");
  result.textContent = text;
  result.className = kind || "";
}

function unplugged(port) {
  if (!port || port !== page.port) return;
  if (page.busy) {
    page.unplugged = true; // said with the job's result
    return;
  }
  set_port(null);
  say("Der Adapter wurde abgezogen. Wieder einstecken und neu verbinden.", "bad");
}

const watched = new WeakSet();

function set_port(port) {
  if (port && !watched.has(port)) {
    watched.add(port);
    port.addEventListener("disconnect", () => unplugged(port));
  }
  page.port = port;
  serial.port = port;
  serial.label = port ? port_label(port) : "";
  const shown = $("port");
  shown.textContent = port ? "Port: " + serial.label : "Noch kein Port gewählt.";
  shown.classList.toggle("chosen", !!port);
  update_controls();
}

function update_controls() {
  const usable = page.started && !page.busy && !!page.port;
  $("connect").disabled = !page.started || page.busy;
  $("job-save").disabled = !usable;
  $("job-load").disabled = !usable || !page.list;
  $("job-verify").disabled = !usable || !page.list;
  $("job-firmware").disabled = !usable || !page.image;
  for (const id of ["list-file", "image-file", "safety", "trace", "save-where"]) $(id).disabled = page.busy;
  document.body.dataset.busy = page.busy ? "1" : "0";
}

const trace_name = "halvoran-trace.txt";

const running_words = {
  save: "Die Senderliste wird von der Box gelesen ...",
  load: "Die Senderliste wird auf die Box geladen ...",
  safe_load: "Erst wird die Senderliste der Box gesichert, dann die neue geladen ...",
  verify: "Die Senderliste wird mit der Box verglichen ...",
  firmware: "Die Firmware wird aufgespielt. Box und Kabel nicht trennen ...",
};

// One job from the click to its result in words; only one at a time.
async function run(job) {
  if (page.busy || !page.port || !page.started) return;
  let handle = null;
  if (job === "save" && $("save-where").checked && window.showSaveFilePicker) {
    try {
      handle = await window.showSaveFilePicker({ suggestedName: "senderl.cxf" });
    } catch {
      return; // the user closed the dialog: no job
    }
  }
  page.busy = true;
  page.unplugged = false;
  start_screen_line();
  update_controls();
  $("result").removeAttribute("data-status");
  $("result").dataset.job = job;
  say(running_words[job === "load" && $("safety").checked ? "safe_load" : job], "busy");
  $("output").scrollIntoView({ block: "nearest", behavior: "smooth" });
  const trace = $("trace").checked ? trace_name : "";
  remove_file(trace_name);
  const old = $("trace-download");
  if (old) old.remove();
  let status = 2;
  let words = "";
  try {
    if (job === "save") {
      remove_file("senderl.cxf");
      status = await run_program(serial.label, "s", "", "", trace);
      words = status === 0 ? "Die Senderliste der Box ist " + (await deliver_list("senderl.cxf", handle)) + "."
                           : "Das Speichern ist fehlgeschlagen, siehe Ausgabe.";
    } else if (job === "load" || job === "verify") {
      // The list as picked, also when an earlier job wrote a file of its name.
      Module.FS.writeFile(page.list.name, page.list.bytes);
      if (job === "verify") {
        status = await run_program(serial.label, "v", page.list.name, "", trace);
        words = status === 0 ? "Die Senderliste stimmt mit der Box überein."
              : status === 3 ? "Die Senderliste weicht von der Box ab."
              : "Das Vergleichen ist fehlgeschlagen, siehe Ausgabe.";
      } else {
        const copy = $("safety").checked ? Module.ccall("web_safety_copy_name", "string", [], []) : "";
        if ($("safety").checked && copy === "") {
          status = 2;
          words = "Für die Sicherung ist kein freier Dateiname zu finden; nichts wurde geladen.";
        } else {
          status = await run_program(serial.label, "l", page.list.name, copy, trace);
          let saved = "";
          if (copy !== "" && file_exists(copy)) {
            offer_download(copy, Module.FS.readFile(copy)).click();
            saved = " Die bisherige Senderliste der Box ist heruntergeladen als " + copy + ".";
          }
          words = status === 0 ? "Die Senderliste ist jetzt auf der Box." + saved
                : copy !== "" && !file_exists(copy) ? "Die Sicherung ist fehlgeschlagen: nichts wurde auf die Box geladen."
                : "Das Laden ist fehlgeschlagen, siehe Ausgabe." + saved;
        }
      }
    } else {
      Module.FS.writeFile(page.image.name, page.image.bytes);
      status = await run_program(serial.label, page.image.name, "", "", trace);
      words = status === 0 ? "Die Box wurde auf die neue Version aktualisiert."
                           : "Das Firmware-Update ist fehlgeschlagen, siehe Ausgabe.";
    }
  } catch (e) {
    words = "Fehler auf der Seite: " + e.message;
    status = 2;
  }
  if (trace !== "" && file_exists(trace_name))
    offer_download(trace_name, Module.FS.readFile(trace_name), "trace-download");
  page.busy = false;
  if (page.unplugged) {
    set_port(null);
    words += " Der Adapter wurde abgezogen: wieder einstecken und neu verbinden.";
  }
  say(words, status === 0 ? "good" : "bad");
  $("result").dataset.status = String(status);
  update_controls();
}

// ---- Start -----------------------------------------------------------------

function start() {
  if (!("serial" in navigator)) {
    $("no-serial").hidden = false;
    for (const id of ["connection", "jobs", "status", "hint", "output"]) $(id).hidden = true;
  } else {
    $("connect").addEventListener("click", async () => {
      if (page.busy) return;
      try {
        set_port(await navigator.serial.requestPort({}));
        say("Verbunden mit " + serial.label + ".", "");
      } catch (e) {
        if (e.name !== "NotFoundError") say("Kein Port: " + e.message, "bad");
      }
    });
    // A port unplugged is gone for good; one plugged back in can be chosen
    // again (the browser remembers the permission). The event is fired at
    // the port and bubbles to navigator.serial (older browsers fire it at
    // navigator.serial alone, naming the port in event.port).
    navigator.serial.addEventListener("disconnect", (event) => unplugged(event.port || event.target));
    // A port this page was allowed before, when it is the only one.
    navigator.serial.getPorts().then((ports) => {
      if (ports.length === 1 && !page.port) set_port(ports[0]);
    }, () => {});
  }
  $("job-save").addEventListener("click", () => run("save"));
  $("job-load").addEventListener("click", () => run("load"));
  $("job-verify").addEventListener("click", () => run("verify"));
  $("job-firmware").addEventListener("click", () => run("firmware"));
  $("list-file").addEventListener("change", (e) => take_file(e.target.files[0], "list"));
  $("image-file").addEventListener("change", (e) => take_file(e.target.files[0], "image"));
  if (window.showSaveFilePicker) $("save-where-label").hidden = false;

  // A file dropped anywhere on the page, taken as the program takes one.
  let depth = 0;
  const hint = $("drop-hint");
  document.addEventListener("dragenter", (e) => {
    e.preventDefault();
    depth += 1;
    if (!page.busy) hint.hidden = false;
  });
  document.addEventListener("dragleave", () => {
    depth = Math.max(0, depth - 1);
    if (depth === 0) hint.hidden = true;
  });
  document.addEventListener("dragover", (e) => e.preventDefault());
  document.addEventListener("drop", (e) => {
    e.preventDefault();
    depth = 0;
    hint.hidden = true;
    if (e.dataTransfer && e.dataTransfer.files.length > 0) take_file(e.dataTransfer.files[0], "any");
  });
  update_controls();
}

window.halvoranPage = { ready, outputBytes: () => printed };
document.addEventListener("DOMContentLoaded", start);
})();
