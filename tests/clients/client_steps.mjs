// One session of the installed module through client_test.py's steps; prints
// what happened as JSON:   node client_steps.mjs '{"helper", "scenario", "steps"}'
import { existsSync } from 'node:fs';
import * as za from 'zentrell-audio';

const { helper, scenario, steps } = JSON.parse(process.argv[2]);
class HostFault extends Error {}
const out = { done: [], chunks: [], emitted: [], error: null, alive: false };
let s;
try {
  s = new za.Session({ helperPath: helper, env: { ...process.env, ZT_SIM_SCENARIO: scenario } });
  s.on('error', (error) => out.emitted.push(error.constructor.name));
  for (const step of steps) {
    out.done.push(step);
    if (step === 'kill') process.kill(s.pid, 'SIGKILL');
    else if (step === 'sleep') await new Promise((resolve) => setTimeout(resolve, 2000));
    else if (['iterate', 'break', 'raise'].includes(step)) {
      for await (const { source, offset, total, pcm } of s) {
        out.chunks.push({ source, offset, total, pcm: [...pcm] });
        if (step === 'break') break;
        if (step === 'raise') throw new HostFault();
      }
    } else await s[step]();
  }
} catch (error) {
  out.error = error.constructor.name;
}
if (s) {
  out.ended = s.finished; // by the steps themselves, before the close below
  await s.close();
  Object.assign(out, { pid: s.pid, exit: s.exitStatus, counts: s.counts, failure: s.failure?.constructor.name ?? null });
  out.alive = s.pid !== undefined && existsSync(`/proc/${s.pid}`);
}
console.log(JSON.stringify(out));
