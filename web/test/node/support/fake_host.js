#!/usr/bin/env node
// A stand-in host for bridge tests that need exact streams: takes the six
// paths like the real one and reads its plan as JSON from the content path:
//   { "frames": N, "width": W, "height": H, "distinct": bool, "audio": bool }
// It sends "running", the frames (each followed by an audio block when
// asked), "stopped", and exits 0. Frames are identical unless distinct.
import { readFileSync, writeSync } from 'node:fs';
import { audioPacket, statusPacket, videoPacket } from './packets.js';

const plan = JSON.parse(readFileSync(process.argv[3], 'utf8'));
// Blocking writes, as the real host makes: a slow reader stalls this host.
const send = (bytes) => {
  for (let at = 0; at < bytes.length;) {
    try {
      at += writeSync(1, bytes, at);
    } catch (error) {
      if (error.code !== 'EAGAIN') throw error;
    }
  }
};
send(statusPacket({ state: 'running' }));
const same = videoPacket(plan.width, plan.height, 1);
for (let i = 0; i < plan.frames; i++) {
  send(plan.distinct ? videoPacket(plan.width, plan.height, i) : same);
  if (plan.audio) send(audioPacket(48000, [i, -i]));
}
send(statusPacket({ state: 'stopped' }));
