// The window's player, fed by the port the preload passes on.
import { KalmoPlayer } from './node_modules/kalmo-host-client/player/kalmo_player.js';

window.addEventListener('message', (event) => {
  if (event.source !== window || event.data !== 'kalmo-port') return;
  window.kalmoPlayer = new KalmoPlayer(event.ports[0], document.getElementById('stage'));
});
