#!/usr/bin/env python3
"""Measurements of real programs under Xvfb, for bench/run. Standard library only.

    harness.py --out RESULTS.json --program BUILD/src/tarno-vesk [--experimental BIN]
               --units N --backup-sha256 HEX --backup-bytes N [--runs 5] [--parts ...]

Parts (all by default):
  e2e          the program saves a 64 MiB shop backup from a local page: time from the page's
               call to the file in place, shell memory before, right after and 10 s after
  e2e_stages   the same with the experimental build's trace: when the text reached the shell,
               its conversion to bytes, our handler
  startup      start-up time to the page's load event and idle PSS of the whole process tree,
               for tarno-vesk, surf and chromium, fresh and reused profiles, interleaved
  idle         CPU ticks of the shell (and its tree) over 10 s with the demo page loaded
  breakdown    where the memory of our process tree goes (smaps_rollup, biggest mappings)
  experiments  environment switches and an experimental build: effect on start-up and PSS

Every program gets its own temporary HOME, XDG folders and profile; each run ends with its
whole process group killed. A comparison is a ratio within one round of interleaved runs;
the median over rounds is reported.
"""
import argparse
import hashlib
import http.server
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
WEB = os.path.join(HERE, 'web')
REPO = os.path.dirname(HERE)
CLK_TCK = os.sysconf('SC_CLK_TCK')
PAGE_KIB = os.sysconf('SC_PAGE_SIZE') // 1024


def log(*args):
    print('[harness]', *args, file=sys.stderr, flush=True)


# ----------------------------------------------------------------------------- local server

class Events:
    """What pages report to the local server, keyed by (name, run)."""

    def __init__(self):
        self.cond = threading.Condition()
        self.seen = {}
        self.go = set()

    def record(self, name, run, query):
        with self.cond:
            self.seen[(name, run)] = {'mono': time.monotonic(), 'wall': time.time(),
                                      'query': query}
            self.cond.notify_all()

    def wait(self, name, run, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while (name, run) not in self.seen:
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)
            return self.seen[(name, run)]

    def release(self, run):
        with self.cond:
            self.go.add(run)
            self.cond.notify_all()

    def wait_go(self, run, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while run not in self.go and time.monotonic() < deadline:
                self.cond.wait(max(0.0, deadline - time.monotonic()))


EVENTS = Events()
REPORTS = ('/loaded', '/built', '/t0', '/t1')


class Handler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *a, **kw):
        super().__init__(*a, directory=WEB, **kw)

    def _report(self):
        url = urllib.parse.urlparse(self.path)
        if url.path not in REPORTS:
            return False
        query = urllib.parse.parse_qs(url.query)
        run = query.get('run', [''])[0]
        EVENTS.record(url.path[1:], run, query)
        if url.path == '/built':
            EVENTS.wait_go(run, 300)  # the bench samples memory before letting the page go on
        self.send_response(200)
        self.send_header('Content-Type', 'text/plain')
        self.send_header('Content-Length', '2')
        self.send_header('Cache-Control', 'no-store')
        self.end_headers()
        self.wfile.write(b'ok')
        return True

    def do_GET(self):
        if not self._report():
            super().do_GET()

    def do_POST(self):  # navigator.sendBeacon
        length = int(self.headers.get('Content-Length') or 0)
        if length:
            self.rfile.read(length)
        if not self._report():
            self.send_error(404)

    def log_message(self, *args):
        pass


def start_server():
    server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, 'http://127.0.0.1:%d' % server.server_address[1]


# ----------------------------------------------------------------------------- Xvfb

def start_xvfb():
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(['Xvfb', '-displayfd', str(write_end), '-screen', '0', '1920x1200x24',
                             '-nolisten', 'tcp', '-noreset'],
                            pass_fds=[write_end], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    os.close(write_end)
    number = b''
    deadline = time.monotonic() + 30
    while not number.endswith(b'\n') and time.monotonic() < deadline:
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_end)
    if not number.strip():
        xvfb.kill()
        raise SystemExit('Xvfb did not start')
    return xvfb, ':' + number.decode().strip()


# ----------------------------------------------------------------------------- /proc

def read_stat(pid):
    """(comm, ppid, session, utime + stime ticks) of a process, or None."""
    try:
        with open('/proc/%d/stat' % pid) as f:
            text = f.read()
    except OSError:
        return None
    comm = text[text.index('(') + 1:text.rindex(')')]
    fields = text[text.rindex(')') + 2:].split()
    return comm, int(fields[1]), int(fields[3]), int(fields[11]) + int(fields[12])


def tree_pids(root):
    """The process and all its descendants, plus anything left in its session."""
    children, session_members = {}, []
    for name in os.listdir('/proc'):
        if not name.isdigit():
            continue
        st = read_stat(int(name))
        if st is None:
            continue
        children.setdefault(st[1], []).append(int(name))
        if st[2] == root:
            session_members.append(int(name))
    found, todo = [], [root]
    while todo:
        pid = todo.pop()
        if pid in found:
            continue
        found.append(pid)
        todo.extend(children.get(pid, []))
    for pid in session_members:
        if pid not in found:
            found.append(pid)
    return found


def rollup(pid):
    """Fields of /proc/PID/smaps_rollup in KiB, or None."""
    try:
        with open('/proc/%d/smaps_rollup' % pid) as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    out = {}
    for line in lines[1:]:
        parts = line.split()
        if len(parts) >= 2 and parts[0].endswith(':'):
            out[parts[0][:-1]] = int(parts[1])
    return out


def cmdline(pid):
    """Program name plus its --type= if any (browsers rewrite their argv into one string)."""
    try:
        with open('/proc/%d/cmdline' % pid, 'rb') as f:
            words = f.read().replace(b'\0', b' ').decode(errors='replace').split()
    except OSError:
        return ''
    if not words:
        return ''
    kind = [w for w in words[1:] if w.startswith('--type=')]
    return ' '.join([os.path.basename(words[0])] + kind[:1])


def tree_memory(root):
    procs = []
    for pid in tree_pids(root):
        r = rollup(pid)
        st = read_stat(pid)
        if r is None or st is None:
            continue
        procs.append({'pid': pid, 'comm': st[0], 'cmd': cmdline(pid), 'rss_kib': r.get('Rss', 0),
                      'pss_kib': r.get('Pss', 0), 'pss_anon_kib': r.get('Pss_Anon', 0),
                      'pss_file_kib': r.get('Pss_File', 0),
                      'pss_shmem_kib': r.get('Pss_Shmem', 0)})
    return {'pss_kib': sum(p['pss_kib'] for p in procs),
            'root_pss_kib': next((p['pss_kib'] for p in procs if p['pid'] == root), 0),
            'root_rss_kib': next((p['rss_kib'] for p in procs if p['pid'] == root), 0),
            'processes': procs}


def biggest_mappings(pid, count=14):
    """PSS of a process's mappings summed by what backs them, biggest first."""
    totals = {}
    current = None
    try:
        with open('/proc/%d/smaps' % pid) as f:
            for line in f:
                head = line.split()
                if not head:
                    continue
                if '-' in head[0] and len(head) >= 5 and not head[0].endswith(':'):
                    current = head[5] if len(head) >= 6 else '[anonymous]'
                    if current.startswith('/memfd:'):
                        current = '/memfd:' + current[7:].split(' ')[0]
                elif head[0] == 'Pss:' and current is not None:
                    totals[current] = totals.get(current, 0) + int(head[1])
    except OSError:
        return []
    ranked = sorted(totals.items(), key=lambda kv: -kv[1])
    return [{'mapping': k, 'pss_kib': v} for k, v in ranked[:count]]


def cpu_ticks(pids):
    out = {}
    for pid in pids:
        st = read_stat(pid)
        if st is not None:
            out[pid] = (st[0], st[3])
    return out


# ----------------------------------------------------------------------------- programs

class Runner:
    def __init__(self, args, display, base_url, tmp_root):
        self.args = args
        self.display = display
        self.base_url = base_url
        self.tmp_root = tmp_root
        self.extra_env = {}
        if subprocess.run(['unshare', '--user', 'true'], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode != 0:
            log('unprivileged user namespaces unavailable: WebKit sandbox disabled')
            self.extra_env['WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS'] = '1'

    def new_root(self):
        return tempfile.mkdtemp(prefix='tv-run-', dir=self.tmp_root)

    def env_for(self, root):
        home = os.path.join(root, 'home')
        run = os.path.join(root, 'runtime')
        for d in (home, run):
            os.makedirs(d, exist_ok=True)
        os.chmod(run, 0o700)
        env = {'PATH': '/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin',
               'DISPLAY': self.display, 'HOME': home, 'LANG': 'C.UTF-8',
               'XDG_CACHE_HOME': os.path.join(home, '.cache'),
               'XDG_CONFIG_HOME': os.path.join(home, '.config'),
               'XDG_DATA_HOME': os.path.join(home, '.local', 'share'),
               'XDG_RUNTIME_DIR': run}
        env.update(self.extra_env)
        return env

    def launch(self, kind, url, root, env_extra=None, binary=None):
        env = self.env_for(root)
        if kind == 'tarno-vesk':
            cmd = [binary or self.args.program]
            env['TARNO_VESK_URL'] = url
            env['TARNO_VESK_DATA_DIR'] = os.path.join(root, 'data')
        elif kind == 'surf':
            cmd = ['surf', url]
        elif kind == 'chromium':
            cmd = ['chromium', '--app=' + url, '--no-sandbox', '--disable-gpu', '--no-first-run',
                   '--disable-background-networking', '--disable-component-update',
                   '--disable-sync', '--user-data-dir=' + os.path.join(root, 'chromium')]
        else:
            raise ValueError(kind)
        env.update(env_extra or {})
        logfile = open(os.path.join(root, kind + '.log'), 'ab')
        start = time.monotonic()
        proc = subprocess.Popen(cmd, env=env, cwd=root, stdin=subprocess.DEVNULL,
                                stdout=logfile, stderr=logfile, start_new_session=True)
        logfile.close()
        return proc, start

    @staticmethod
    def stop(proc):
        pids = tree_pids(proc.pid)
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            proc.wait(timeout=3)
        except subprocess.TimeoutExpired:
            pass
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        for pid in pids:  # descendants that left the group (sandbox helpers)
            try:
                os.kill(pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        proc.wait()
        time.sleep(0.3)

    def startup_run(self, kind, root, idle_wait, env_extra=None, binary=None, keep=False):
        run = uuid.uuid4().hex
        url = '%s/start.html?run=%s' % (self.base_url, run)
        proc, start = self.launch(kind, url, root, env_extra, binary)
        try:
            event = EVENTS.wait('loaded', run, 90)
            if event is None:
                return {'error': 'no load event within 90 s'}
            startup = event['mono'] - start
            time.sleep(idle_wait)
            mem = tree_memory(proc.pid)
            result = {'startup_s': startup, 'pss_kib': mem['pss_kib'],
                      'root_pss_kib': mem['root_pss_kib'], 'processes': mem['processes']}
            if keep:
                result['mappings'] = {p['pid']: biggest_mappings(p['pid'])
                                      for p in mem['processes'] if p['pss_kib'] > 20000}
            return result
        finally:
            self.stop(proc)


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


# ----------------------------------------------------------------------------- parts

def e2e_once(r, args, env_extra=None, binary=None):
    """One save of the page's 64 MiB backup by a fresh program; None on failure."""
    root = r.new_root()
    run = uuid.uuid4().hex
    url = '%s/e2e.html?run=%s&units=%d' % (r.base_url, run, args.units)
    proc, _ = r.launch('tarno-vesk', url, root, env_extra, binary)
    backups = os.path.join(root, 'data', 'backups')
    try:
        if EVENTS.wait('built', run, 240) is None:
            return {'error': 'page did not build the backup'}
        time.sleep(2)  # let the page's allocation settle before the "before" sample
        before = tree_memory(proc.pid)
        EVENTS.release(run)
        found = None
        deadline = time.monotonic() + 180
        while found is None and time.monotonic() < deadline:
            if os.path.isdir(backups):
                for name in os.listdir(backups):
                    if name.startswith('tarno-vesk-backup-') and name.endswith('.json'):
                        found = os.path.join(backups, name)
            if found is None:
                time.sleep(0.002)
        seen_wall = time.time()
        right_after = tree_memory(proc.pid)
        t0 = EVENTS.wait('t0', run, 10)
        t1 = EVENTS.wait('t1', run, 10)
        if found is None or t0 is None:
            return {'error': 'no backup file'}
        page_t0 = int(t0['query']['t'][0]) / 1000.0
        page_t1 = int(t1['query']['t'][0]) / 1000.0 if t1 else None
        st = os.stat(found)
        with open(found, 'rb') as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        time.sleep(max(0.0, 10 - (time.time() - seen_wall)))
        later = tree_memory(proc.pid)
        result = {
            'e2e_s': seen_wall - page_t0,
            'page_call_s': (page_t1 - page_t0) if page_t1 else None,
            'mtime_minus_t0_s': st.st_mtime - page_t0,
            'file_bytes': st.st_size,
            'identical_to_generator': digest == args.backup_sha256,
            'shell_rss_kib': [before['root_rss_kib'], right_after['root_rss_kib'],
                              later['root_rss_kib']],
            'shell_pss_kib': [before['root_pss_kib'], right_after['root_pss_kib'],
                              later['root_pss_kib']],
            'tree_pss_kib': [before['pss_kib'], right_after['pss_kib'], later['pss_kib']],
        }
        # Stage times from an experimental build's trace line, when there is one.
        with open(os.path.join(root, 'tarno-vesk.log'), errors='replace') as f:
            for line in f:
                if line.startswith('tv-trace '):
                    t = {k: int(v) for k, v in (x.split('=') for x in line.split()[1:])}
                    result['trace'] = {
                        'to_shell_s': t['entered'] / 1e6 - page_t0,
                        'to_bytes_s': (t['converted'] - t['entered']) / 1e6,
                        'handler_s': (t['handled'] - t['converted']) / 1e6}
        return result
    finally:
        r.stop(proc)
        shutil.rmtree(root, ignore_errors=True)


def part_e2e(r, args):
    runs = []
    for i in range(args.runs):
        res = e2e_once(r, args)
        log('e2e run %d: %s' % (i + 1, {k: res.get(k) for k in (
            'e2e_s', 'page_call_s', 'identical_to_generator', 'shell_rss_kib', 'error')}))
        runs.append(res)
    return {'runs': runs}


def part_e2e_stages(r, args):
    """The same save with the experimental build, whose trace splits the time into stages."""
    if not args.experimental:
        return {'skipped': 'no experimental build'}
    runs = []
    for i in range(args.e2e_stage_runs):
        res = e2e_once(r, args, {'TV_EXP_TRACE': '1'}, args.experimental)
        log('e2e stages run %d: %s' % (i + 1, {k: res.get(k) for k in (
            'e2e_s', 'page_call_s', 'trace', 'error')}))
        runs.append(res)
    return {'runs': runs}


PROGRAMS = ['tarno-vesk', 'surf', 'chromium']


def part_startup(r, args):
    reused = {}
    for kind in PROGRAMS:  # first runs create the reused profiles and warm the disk cache
        reused[kind] = r.new_root()
        res = r.startup_run(kind, reused[kind], 1)
        log('warm-up %s: %s' % (kind, res.get('startup_s', res.get('error'))))
    rounds = []
    for i in range(args.runs):
        order = PROGRAMS[i % 3:] + PROGRAMS[:i % 3]
        this = {}
        for profile in ('fresh', 'reused'):
            for kind in order:
                root = r.new_root() if profile == 'fresh' else reused[kind]
                res = r.startup_run(kind, root, args.idle_wait)
                if profile == 'fresh':
                    shutil.rmtree(root, ignore_errors=True)
                res.pop('processes', None) if profile == 'reused' else None
                this['%s/%s' % (kind, profile)] = res
                log('round %d %s/%s: start-up %s s, PSS %s KiB' % (
                    i + 1, kind, profile, fmt(res.get('startup_s')), res.get('pss_kib')))
        rounds.append(this)
    for root in reused.values():
        shutil.rmtree(root, ignore_errors=True)
    return {'rounds': rounds, 'idle_wait_s': args.idle_wait}


def fmt(v):
    return '%.3f' % v if isinstance(v, float) else str(v)


IDLE_VARIANTS = [('as shipped', {}),
                 ('WEBKIT_DISABLE_MEMORY_PRESSURE_MONITOR=1',
                  {'WEBKIT_DISABLE_MEMORY_PRESSURE_MONITOR': '1'})]


def idle_once(r, url, env_extra):
    root = r.new_root()
    proc, _ = r.launch('tarno-vesk', url, root, env_extra)
    try:
        # Start-up costs seconds of CPU here (shader compilation on software GL): wait until
        # the tree has been quiet (<= 2 ticks a second) for 3 s, 40 s at most.
        quiet, waited, last = 0, 0, None
        while quiet < 3 and waited < 40:
            now = sum(t for _, t in cpu_ticks(tree_pids(proc.pid)).values())
            quiet = quiet + 1 if last is not None and now - last <= 2 else 0
            last = now
            time.sleep(1)
            waited += 1
        first = cpu_ticks(tree_pids(proc.pid))
        time.sleep(10)
        second = cpu_ticks(tree_pids(proc.pid))
        shell = second.get(proc.pid, (None, 0))[1] - first.get(proc.pid, (None, 0))[1]
        per = {}
        for pid, (comm, ticks) in second.items():
            per['%s[%d]' % (comm, pid)] = ticks - first.get(pid, (comm, 0))[1]
        return {'shell_ticks': shell, 'tree_ticks': sum(per.values()), 'per_process': per,
                'settle_s': waited}
    finally:
        r.stop(proc)
        shutil.rmtree(root, ignore_errors=True)


def part_idle(r, args):
    demo = 'file://' + os.path.join(REPO, 'data', 'demo', 'index.html')
    runs = {name: [] for name, _ in IDLE_VARIANTS}
    for i in range(args.idle_runs):
        for name, env in (IDLE_VARIANTS if i % 2 == 0 else IDLE_VARIANTS[::-1]):
            res = idle_once(r, demo, env)
            runs[name].append(res)
            log('idle run %d (%s): shell %d ticks, tree %d ticks' % (
                i + 1, name, res['shell_ticks'], res['tree_ticks']))
    return {'runs': runs['as shipped'], 'variants': runs, 'clk_tck': CLK_TCK, 'window_s': 10}


def part_breakdown(r, args):
    root = r.new_root()
    try:
        res = r.startup_run('tarno-vesk', root, args.idle_wait, keep=True)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return res


# Each variant: (name, program, environment, binary: None = release build, 'exp' = patched).
VARIANTS = [
    ('baseline', 'tarno-vesk', {}, 'exp'),
    # The GPU paths forced: GTK's GL renderer and WebKit's compositing, as the program did on
    # every machine before it chose software rendering where there is no GPU render node.
    ('GL paths forced (GSK_RENDERER=gl, acceleration ALWAYS)', 'tarno-vesk',
     {'GSK_RENDERER': 'gl', 'TV_EXP_HW_ACCEL': 'always'}, 'exp'),
    ('GSK_RENDERER=cairo', 'tarno-vesk', {'GSK_RENDERER': 'cairo'}, 'exp'),
    ('GSK_RENDERER=ngl', 'tarno-vesk', {'GSK_RENDERER': 'ngl'}, 'exp'),
    ('WEBKIT_DISABLE_COMPOSITING_MODE=1', 'tarno-vesk', {'WEBKIT_DISABLE_COMPOSITING_MODE': '1'},
     'exp'),
    ('hardware acceleration NEVER', 'tarno-vesk', {'TV_EXP_HW_ACCEL': 'never'}, 'exp'),
    ('GSK cairo + hardware acceleration NEVER', 'tarno-vesk',
     {'GSK_RENDERER': 'cairo', 'TV_EXP_HW_ACCEL': 'never'}, 'exp'),
    ('cache model DOCUMENT_VIEWER', 'tarno-vesk', {'TV_EXP_CACHE_MODEL': 'document-viewer'}, 'exp'),
    ('page cache off', 'tarno-vesk', {'TV_EXP_NO_PAGE_CACHE': '1'}, 'exp'),
    ('memory limit 128 MiB', 'tarno-vesk', {'TV_EXP_MEMORY_LIMIT_MIB': '128'}, 'exp'),
    ('surf baseline', 'surf', {}, None),
    ('surf WEBKIT_DISABLE_COMPOSITING_MODE=1', 'surf', {'WEBKIT_DISABLE_COMPOSITING_MODE': '1'},
     None),
]


def part_experiments(r, args):
    if not args.experimental:
        return {'skipped': 'no experimental build'}
    rounds = []
    for i in range(args.runs):
        order = VARIANTS[i % len(VARIANTS):] + VARIANTS[:i % len(VARIANTS)]
        this = {}
        for name, kind, env, binary in order:
            root = r.new_root()
            res = r.startup_run(kind, root, args.experiment_idle_wait, env,
                                args.experimental if binary == 'exp' else None)
            shutil.rmtree(root, ignore_errors=True)
            res.pop('processes', None)
            this[name] = res
            log('experiment round %d %s: start-up %s s, PSS %s KiB' % (
                i + 1, name, fmt(res.get('startup_s')), res.get('pss_kib')))
        rounds.append(this)
    return {'rounds': rounds, 'variants': [[v[0], v[1], v[2]] for v in VARIANTS],
            'idle_wait_s': args.experiment_idle_wait}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--out', required=True)
    ap.add_argument('--program', required=True)
    ap.add_argument('--experimental')
    ap.add_argument('--units', type=int, default=0)
    ap.add_argument('--backup-sha256', default='')
    ap.add_argument('--runs', type=int, default=5)
    ap.add_argument('--idle-runs', type=int, default=3)
    ap.add_argument('--e2e-stage-runs', type=int, default=2)
    ap.add_argument('--idle-wait', type=float, default=5.0)
    ap.add_argument('--experiment-idle-wait', type=float, default=3.0)
    ap.add_argument('--parts', default='e2e,e2e_stages,startup,idle,breakdown,experiments')
    args = ap.parse_args()
    args.program = os.path.abspath(args.program)
    if args.experimental:
        args.experimental = os.path.abspath(args.experimental)

    results = {}
    if os.path.exists(args.out):
        with open(args.out) as f:
            results = json.load(f)
    server, base_url = start_server()
    xvfb, display = start_xvfb()
    tmp_root = tempfile.mkdtemp(prefix='tv-bench-')
    log('Xvfb on %s, pages at %s, temporary folders in %s' % (display, base_url, tmp_root))
    try:
        r = Runner(args, display, base_url, tmp_root)
        results['sandbox_disabled'] = bool(r.extra_env)
        for part in args.parts.split(','):
            log('part', part)
            t = time.monotonic()
            results[part] = globals()['part_' + part](r, args)
            results[part]['elapsed_s'] = time.monotonic() - t
            with open(args.out, 'w') as f:
                json.dump(results, f, indent=1)
    finally:
        xvfb.terminate()
        try:
            xvfb.wait(timeout=5)
        except subprocess.TimeoutExpired:
            xvfb.kill()
        server.shutdown()
        shutil.rmtree(tmp_root, ignore_errors=True)


if __name__ == '__main__':
    main()
