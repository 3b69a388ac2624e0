// TovuControl in KWin: tells the TovuControl agent of this session which app is in front, by the
// pid of the active window, on each activation and every few seconds. A script cannot reach the
// daemon's socket; the agent passes the reports on. The agent loads this script, and loads it
// again when its reports stop.

const INTERVAL_MS = 5000;

// KWin 6 names windows what KWin 5 calls clients.
const activated = workspace.windowActivated || workspace.clientActivated;
const active = () => ('activeWindow' in workspace ? workspace.activeWindow : workspace.activeClient);

function report(window) {
    const pid = window && window.pid > 0 ? window.pid : 0;
    callDBus('vn.morvane.tovucontrol.helper', '/Front', 'vn.morvane.tovucontrol.Front', 'Report', pid);
}

activated.connect(report);
const timer = new QTimer();
timer.interval = INTERVAL_MS;
timer.timeout.connect(() => report(active()));
timer.start();
report(active());
