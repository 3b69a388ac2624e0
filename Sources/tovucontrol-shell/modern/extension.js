// GNOME Shell 45 and later.
import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import St from 'gi://St';
import Clutter from 'gi://Clutter';
import * as Main from 'resource:///org/gnome/shell/ui/main.js';
import * as PanelMenu from 'resource:///org/gnome/shell/ui/panelMenu.js';
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';
import {Core} from './core.js';

export default class TovuControlExtension extends Extension {
    enable() {
        this._core = new Core({
            Gio, GLib, St, Clutter, Main, PanelMenu, display: global.display, path: this.path,
        });
        this._core.enable();
    }

    disable() {
        this._core.disable();
        this._core = null;
    }
}
