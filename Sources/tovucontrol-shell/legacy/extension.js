// GNOME Shell 43 and 44.
const {Gio, GLib, St, Clutter} = imports.gi;
const Main = imports.ui.main;
const PanelMenu = imports.ui.panelMenu;
const Me = imports.misc.extensionUtils.getCurrentExtension();

class Extension {
    enable() {
        this._core = new Me.imports.core.Core({
            Gio, GLib, St, Clutter, Main, PanelMenu, display: global.display, path: Me.path,
        });
        this._core.enable();
    }

    disable() {
        this._core.disable();
        this._core = null;
    }
}

function init() {
    return new Extension();
}
