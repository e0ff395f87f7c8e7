// The preload runs in a world of its own: it passes the main process's port
// on to the page, where the player takes it.
const { ipcRenderer } = require('electron');

ipcRenderer.on('kalmo-port', (event) => window.postMessage('kalmo-port', '*', event.ports));
