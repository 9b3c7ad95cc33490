// The stand-in for the browser's serial port: a navigator.serial installed
// into the page before its scripts run (page.addInitScript), whose one port
// carries its bytes to and from the box simulator through the test's
// binding __standinLine (harness.mjs: a web_line_bridge on the simulator's
// pseudo-terminal). Everything above this boundary, the page and its
// WebAssembly, is the real thing.
//
// It keeps to the Web Serial API's semantics for the calls the page makes;
// each place names the part of the API it follows. Every call the page
// makes is logged in window.__standin.log, for the tests to check.
//
// install_serial_standin runs inside the page: it may use nothing from this
// module's scope.

export function install_serial_standin(config) {
    const log = [];
    const standin = {log, port: null, unplug: () => {}};
    Object.defineProperty(window, '__standin', {value: standin});
    if (!config.present) {
        // A browser without the API: navigator.serial is not there at all.
        delete Navigator.prototype.serial;
        return;
    }
    const line = (op, ...args) => window.__standinLine(op, ...args);
    const network_error = () => new DOMException('The device has been lost.', 'NetworkError');
    const invalid_state = (what) => new DOMException(what, 'InvalidStateError');
    const bytes_of = (text) => {
        const bytes = new Uint8Array(text.length);
        for (let i = 0; i < text.length; ++i)
            bytes[i] = text.charCodeAt(i);
        return bytes;
    };
    const text_of = (bytes) => {
        let text = '';
        for (let i = 0; i < bytes.length; i += 8192)
            text += String.fromCharCode.apply(null, bytes.subarray(i, i + 8192));
        return text;
    };

    let serial = null;

    class SerialPort extends EventTarget {
        #state = 'closed'; // closed, opened, closing
        #connected = true;
        #readable = null;
        #writable = null;
        #read_fatal = false;
        #write_fatal = false;
        #buffer_size = 0;
        #pending_close = null;
        #line = null; // the bridge of the current opening
        #read_controller = null;
        #write_controller = null;
        #write_reject = null; // the write under way

        // getInfo(): the USB ids when the port is part of a USB device,
        // else an empty dictionary.
        getInfo() {
            log.push(['getInfo']);
            return config.info ? {...config.info} : {};
        }

        // open(): refused unless closed (InvalidStateError); dataBits 7 or
        // 8, stopBits 1 or 2, a bufferSize other than 0 (TypeError); a
        // device that is gone cannot be opened (NetworkError).
        async open(options) {
            log.push(['open', {...options}]);
            if (this.#state !== 'closed')
                throw invalid_state('The port is already open.');
            const o = {dataBits: 8, stopBits: 1, parity: 'none', bufferSize: 255,
                       flowControl: 'none', ...options};
            if (!(o.baudRate > 0))
                throw new TypeError('A baud rate is required.');
            if (o.dataBits !== 7 && o.dataBits !== 8)
                throw new TypeError('dataBits must be 7 or 8.');
            if (o.stopBits !== 1 && o.stopBits !== 2)
                throw new TypeError('stopBits must be 1 or 2.');
            if (o.bufferSize === 0)
                throw new TypeError('bufferSize must not be 0.');
            if (!this.#connected)
                throw network_error();
            const id = await line('open', o);
            if (id === null)
                throw network_error();
            this.#line = id;
            this.#buffer_size = o.bufferSize;
            this.#state = 'opened';
            this.#read_fatal = false;
            this.#write_fatal = false;
        }

        // readable: the same stream while it lasts; null unless opened or
        // after a fatal read error. A byte stream whose high-water mark is
        // bufferSize: each pull reads at most the size that fills the
        // queue up to it (or the BYOB view), and bytes come in the pieces
        // the line delivers them.
        get readable() {
            if (this.#readable !== null)
                return this.#readable;
            if (this.#state !== 'opened' || this.#read_fatal)
                return null;
            const id = this.#line;
            let cancelled = false;
            const stream = new ReadableStream({
                type: 'bytes',
                start: (controller) => {
                    this.#read_controller = controller;
                },
                // One read of the line at a time: the pull settles when its
                // bytes are queued, so the next one waits for it.
                pull: async (controller) => {
                    const view = controller.byobRequest ? controller.byobRequest.view : null;
                    const want = Math.max(1, view ? view.byteLength : controller.desiredSize);
                    const got = await line('read', id, want);
                    if (cancelled || this.#readable !== stream)
                        return;
                    if (got.gone) {
                        this.#disconnect();
                        return;
                    }
                    const bytes = bytes_of(got.bytes);
                    if (view) {
                        new Uint8Array(view.buffer, view.byteOffset, bytes.length).set(bytes);
                        controller.byobRequest.respond(bytes.length);
                    } else {
                        controller.enqueue(bytes);
                    }
                },
                // cancel(): what the line holds unread is dropped, then the
                // stream is closed.
                cancel: async () => {
                    log.push(['readable.cancel']);
                    cancelled = true;
                    await line('discard_input', id);
                    this.#close_readable();
                },
            }, {highWaterMark: this.#buffer_size});
            this.#readable = stream;
            return stream;
        }

        // writable: the same stream while it lasts; null unless opened or
        // after a fatal write error. High-water mark bufferSize, counted in
        // bytes; a write resolves once the line took its bytes.
        get writable() {
            if (this.#writable !== null)
                return this.#writable;
            if (this.#state !== 'opened' || this.#write_fatal)
                return null;
            const id = this.#line;
            const stream = new WritableStream({
                start: (controller) => {
                    this.#write_controller = controller;
                },
                write: (chunk) => new Promise((resolve, reject) => {
                    if (!(chunk instanceof ArrayBuffer || ArrayBuffer.isView(chunk))) {
                        reject(new TypeError('A chunk must be a BufferSource.'));
                        return;
                    }
                    // The bytes are copied when the write is made.
                    const bytes = chunk instanceof ArrayBuffer
                        ? new Uint8Array(chunk.slice(0))
                        : new Uint8Array(chunk.buffer.slice(chunk.byteOffset,
                                                            chunk.byteOffset + chunk.byteLength));
                    this.#write_reject = reject;
                    line('write', id, text_of(bytes)).then((done) => {
                        this.#write_reject = null;
                        if (done.gone) {
                            this.#disconnect();
                            reject(network_error());
                        } else {
                            resolve();
                        }
                    });
                }),
                // abort(): what is waiting to go out is discarded.
                abort: async () => {
                    log.push(['writable.abort']);
                    await line('discard_output', id);
                    this.#close_writable();
                },
                // close(): resolves once the line took every byte.
                close: async () => {
                    log.push(['writable.close']);
                    await line('drain', id);
                    this.#close_writable();
                },
            }, new ByteLengthQueuingStrategy({highWaterMark: this.#buffer_size}));
            this.#writable = stream;
            return stream;
        }

        // setSignals(): only while opened (InvalidStateError); at least one
        // signal named (TypeError). A pseudo-terminal has no modem lines,
        // so the values are only logged.
        async setSignals(signals = {}) {
            log.push(['setSignals', {...signals}]);
            if (this.#state !== 'opened')
                throw invalid_state('The port is not open.');
            if (!('dataTerminalReady' in signals) && !('requestToSend' in signals) &&
                !('break' in signals))
                throw new TypeError('No signal named.');
        }

        async getSignals() {
            log.push(['getSignals']);
            if (this.#state !== 'opened')
                throw invalid_state('The port is not open.');
            return {dataCarrierDetect: false, clearToSend: false, ringIndicator: false,
                    dataSetReady: false};
        }

        // close(): only while opened (InvalidStateError); cancels the
        // readable and aborts the writable, which rejects with a TypeError
        // while a reader or writer holds the stream, and then the port
        // stays open. Once both streams are closed the line is let go.
        close() {
            log.push(['close']);
            if (this.#state !== 'opened')
                return Promise.reject(invalid_state('The port is not open.'));
            const cancel = this.#readable ? this.#readable.cancel() : Promise.resolve();
            const abort = this.#writable ? this.#writable.abort() : Promise.resolve();
            let resolve_close;
            const pending = new Promise((resolve) => {
                resolve_close = resolve;
            });
            this.#pending_close = resolve_close;
            if (this.#readable === null && this.#writable === null)
                resolve_close();
            this.#state = 'closing';
            return Promise.all([cancel, abort, pending]).then(
                async () => {
                    await line('close', this.#line);
                    this.#line = null;
                    this.#state = 'closed';
                    this.#read_fatal = false;
                    this.#write_fatal = false;
                    this.#pending_close = null;
                },
                (reason) => {
                    log.push(['close rejected', String(reason)]);
                    this.#pending_close = null;
                    this.#state = 'opened';
                    throw reason;
                });
        }

        async forget() {
            log.push(['forget']);
        }

        // Handling the closing of either stream: once both are gone a
        // close() under way completes.
        #close_readable() {
            this.#readable = null;
            this.#read_controller = null;
            if (this.#writable === null && this.#pending_close)
                this.#pending_close();
        }

        #close_writable() {
            this.#writable = null;
            this.#write_controller = null;
            if (this.#readable === null && this.#pending_close)
                this.#pending_close();
        }

        // The device went away (the adapter pulled out, or the line hung
        // up): the readable errors with a NetworkError and readable becomes
        // null, the writable errors likewise and a write under way rejects,
        // the port leaves getPorts(), and "disconnect" fires at the port
        // and, bubbling, at navigator.serial.
        #disconnect() {
            if (!this.#connected)
                return;
            this.#connected = false;
            log.push(['disconnected']);
            this.#read_fatal = true;
            this.#write_fatal = true;
            if (this.#read_controller) {
                try {
                    this.#read_controller.error(network_error());
                } catch {
                    // Already closed or errored.
                }
            }
            this.#close_readable();
            if (this.#write_reject)
                this.#write_reject(network_error());
            if (this.#write_controller)
                this.#write_controller.error(network_error());
            this.#close_writable();
            if (this.#line !== null)
                line('unplug', this.#line);
            const event = new Event('disconnect', {bubbles: true});
            this.dispatchEvent(event);
            const at_serial = new Event('disconnect', {bubbles: true});
            Object.defineProperty(at_serial, 'target', {value: this});
            serial.dispatchEvent(at_serial);
        }

        unplug() {
            this.#disconnect();
        }

        get connected() {
            return this.#connected;
        }
    }

    const port = new SerialPort();
    let granted = false;

    class Serial extends EventTarget {
        // requestPort(): needs the page's user activation (SecurityError
        // without it); the user picks the one port, which is granted from
        // then on.
        async requestPort(options = {}) {
            log.push(['requestPort', options]);
            if (!navigator.userActivation.isActive)
                throw new DOMException('Must be handling a user gesture to show a permission request.',
                                       'SecurityError');
            if (!port.connected)
                throw new DOMException('No port selected by the user.', 'NotFoundError');
            granted = true;
            return port;
        }

        // getPorts(): the ports granted before that are still there.
        async getPorts() {
            log.push(['getPorts']);
            return granted && port.connected ? [port] : [];
        }
    }

    serial = new Serial();
    Object.defineProperty(Navigator.prototype, 'serial', {
        get: () => serial,
        configurable: true,
        enumerable: true,
    });
    standin.port = port;
    standin.unplug = () => port.unplug();
}
