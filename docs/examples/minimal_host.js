// A minimal host for zentrell-audio-helper, with nothing but Node.js:
// records a few seconds of each source, counting their samples.
//
//   node minimal_host.js [SECONDS]
'use strict';
const { spawn } = require('child_process');
const fs = require('fs');
const path = require('path');
const readline = require('readline');

// ZENTRELL_HELPER when set (development), else the helper beside this
// script (as a packaged app keeps it), else the one on PATH (installed).
const beside = path.join(__dirname, 'zentrell-audio-helper');
const helperPath =
  process.env.ZENTRELL_HELPER || (fs.existsSync(beside) ? beside : 'zentrell-audio-helper');
const seconds = Number(process.argv[2] || 3);

// No arguments; the helper's standard error is left to ours.
const helper = spawn(helperPath, [], { stdio: ['pipe', 'pipe', 'inherit'] });
const send = (command) => helper.stdin.write(JSON.stringify({ command }) + '\n');
helper.stdin.on('error', () => {}); // the helper may be gone already
helper.on('error', (err) => {
  if (err.code === 'ENOENT')
    console.error(`zentrell-audio-helper not found (${helperPath}): install it or set ZENTRELL_HELPER`);
  else console.error(`cannot start the helper: ${err.message}`);
  process.exit(1);
});

// 16000 samples a second; the counts, not a clock, say when to stop.
const wanted = seconds * 16000;
const samples = { system: 0, microphone: 0 };
let ended = false;
let error = null;
let stopped = false;
const stop = () => {
  if (!stopped) send('stop');
  stopped = true;
};

readline.createInterface({ input: helper.stdout }).on('line', (line) => {
  const event = JSON.parse(line);
  switch (event.event) {
    case 'prepared':
      send('start');
      break;
    case 'state':
      // Audio can begin a while after "recording"; the timer only guards
      // against a source that never delivers.
      if (event.state === 'recording') setTimeout(stop, (seconds + 10) * 1000).unref();
      if (event.state === 'ended') ended = true;
      break;
    case 'audio':
      // No timestamps: a source's position is its sample count at 16 kHz.
      samples[event.source] += Buffer.from(event.audio, 'base64').length / 2;
      if (samples.system >= wanted && samples.microphone >= wanted) stop();
      break;
    case 'error':
      error = event.code;
      console.error(`helper error: ${event.code}`);
      break;
  }
});

// Read to the end: the helper exits once its last event is written.
helper.on('close', (exitStatus) => {
  console.log(JSON.stringify({ ended, error, exitStatus, samples }));
  process.exit(ended && exitStatus === 0 ? 0 : 1);
});

send('prepare');
