// The extension's whole work, for every GNOME Shell version: the shell's modules come in
// through `shell`, so this file imports nothing and both wrappers load it as it is.
//
// It tells the TovuControl daemon which app is in front (the pid of the focused window, on each
// change of focus and every few seconds), and shows the countdown in the top bar. The daemon
// checks that the report comes from this session's real shell; the label only shows what the
// daemon answers.

var INTERVAL_SECONDS = 5;

// The top bar's text for a policy, as the agent's status item shows it.
var title = function (policy, now) {
    if (!policy) return 'TovuControl';
    const end = policy.grantEndsAt ? Date.parse(policy.grantEndsAt) : NaN;
    if (end > now) {
        const s = Math.floor((end - now) / 1000);
        const two = n => String(n).padStart(2, '0');
        return s >= 3600
            ? `${Math.floor(s / 3600)}:${two(Math.floor(s / 60) % 60)}:${two(s % 60)}`
            : `${two(Math.floor(s / 60))}:${two(s % 60)}`;
    }
    if (policy.locked) return 'Đã khoá';
    if (policy.minutesLeft === undefined || policy.minutesLeft === null) return 'TovuControl';
    const n = policy.minutesLeft;
    return n < 60 ? `${n} ph` : `${Math.floor(n / 60)}g${String(n % 60).padStart(2, '0')}`;
};

var Core = class {
    // shell: {Gio, GLib, St, Clutter, Main, PanelMenu, display, path}, path being the
    // extension's own folder
    constructor(shell) {
        this._shell = shell;
        // A trial's copy talks to a trial daemon elsewhere. The installed one talks to the
        // installed daemon whatever the session's environment says: the child sets that
        // environment, and a shell told a wrong path would name no app to the parents.
        const trial = !shell.path.startsWith('/usr/') && shell.GLib.getenv('TOVUC_SOCK');
        this._socket = trial || '/var/run/tovucontrol.sock';
        this._policy = null;
    }

    enable() {
        const {St, Clutter, Main, PanelMenu, GLib, display} = this._shell;
        this._button = new PanelMenu.Button(0.0, 'TovuControl', true);
        this._label = new St.Label({
            text: 'TovuControl',
            y_align: Clutter.ActorAlign.CENTER,
            name: 'tovucontrol-label',
        });
        this._button.add_child(this._label);
        Main.panel.addToStatusArea('tovucontrol', this._button);
        this._focus = display.connect('notify::focus-window', () => this._report());
        this._timer = GLib.timeout_add_seconds(GLib.PRIORITY_DEFAULT, INTERVAL_SECONDS, () => {
            this._tick();
            return GLib.SOURCE_CONTINUE;
        });
        this._tick();
    }

    disable() {
        const {GLib, display} = this._shell;
        display.disconnect(this._focus);
        GLib.source_remove(this._timer);
        this._button.destroy();
        this._button = this._label = null;
    }

    _tick() {
        this._report();
        this._ask({op: 'policy'}, answer => {
            if (answer.ok && answer.policy) this._policy = answer.policy;
            this._show();
        });
        this._show();
    }

    _show() {
        if (this._label) this._label.text = title(this._policy, Date.now());
    }

    _report() {
        const window = this._shell.display.focus_window;
        const pid = window ? window.get_pid() : 0;
        this._ask({op: 'front', pid: pid > 0 ? pid : 0}, () => {});
    }

    // One line each way on a connection of its own; a daemon that is away is asked again on the
    // next tick.
    _ask(request, done) {
        const {Gio, GLib} = this._shell;
        const client = new Gio.SocketClient();
        client.connect_async(new Gio.UnixSocketAddress({path: this._socket}), null,
            (c, result) => {
                let connection;
                try {
                    connection = c.connect_finish(result);
                } catch (e) {
                    return;
                }
                const line = new GLib.Bytes(new TextEncoder().encode(`${JSON.stringify(request)}\n`));
                connection.get_output_stream().write_bytes_async(line, GLib.PRIORITY_DEFAULT, null,
                    (out, written) => {
                        try {
                            out.write_bytes_finish(written);
                        } catch (e) {
                            connection.close(null);
                            return;
                        }
                        const input = new Gio.DataInputStream({
                            base_stream: connection.get_input_stream(),
                        });
                        input.read_line_async(GLib.PRIORITY_DEFAULT, null, (s, read) => {
                            try {
                                const [bytes] = s.read_line_finish_utf8(read);
                                if (bytes) done(JSON.parse(bytes));
                            } catch (e) {
                                // A garbled or missing answer: the next tick asks again.
                            }
                            connection.close(null);
                        });
                    });
            });
    }
};
