#!/usr/bin/env python3
"""Turns the results of bench/run into a table (printed) and docs/performance.md.

    report.py RESULTS_DIR OUTPUT_MD

RESULTS_DIR holds decode.json (Google Benchmark), memory.jsonl, save.json, harness.json and
machine.json, as bench/run leaves them.
"""
import json
import os
import statistics
import sys


def load(path, default=None):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return default


def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def f(v, digits=2, unit=''):
    if v is None:
        return 'n/a'
    return ('%.' + str(digits) + 'f%s') % (v, unit)


def mib(kib):
    return None if kib is None else kib / 1024.0


def proc_name(p):
    """A process's program name, with its --type= for multi-process browsers."""
    words = (p.get('cmd') or p.get('comm') or '?').split()
    name = os.path.basename(words[0]) if words else p.get('comm', '?')
    kind = [w for w in words[1:] if w.startswith('--type=')]
    return ' '.join([name] + kind[:1])


def met(ok):
    if ok is None:
        return 'n/a'
    return 'met' if ok else '**not met**'


class Doc:
    def __init__(self):
        self.lines = []

    def add(self, *lines):
        self.lines.extend(lines)

    def table(self, header, rows):
        self.add('| ' + ' | '.join(header) + ' |', '|' + '---|' * len(header))
        for row in rows:
            self.add('| ' + ' | '.join(str(c) for c in row) + ' |')
        self.add('')


def decode_section(doc, res, summary):
    data = load(os.path.join(res, 'decode.json'))
    if not data:
        doc.add('Decoding: no results.', '')
        return
    medians = {}
    for b in data['benchmarks']:
        if b.get('aggregate_name') != 'median':
            continue
        shape, size, parser = b['run_name'].split('/')
        # Throughput of message text from wall time (SetBytesProcessed / real_time).
        real_s = b['real_time'] / 1e3  # benchmarks report milliseconds
        cpu_s = b['cpu_time'] / 1e3
        bytes_per_iter = b.get('message_bytes') or b['bytes_per_second'] * cpu_s
        medians[(shape, size, parser)] = (bytes_per_iter / real_s / 1e6,
                                          bytes_per_iter / cpu_s / 1e6, bytes_per_iter)
    rows = []
    all_ok = True
    for shape in ('shop-backup', 'ascii', 'u-escaped'):
        for size in ('1MiB', '16MiB', '64MiB'):
            ours = medians.get((shape, size, 'decode_command'))
            theirs = medians.get((shape, size, 'nlohmann'))
            if not ours or not theirs:
                continue
            ratio = ours[0] / theirs[0]
            ok = ours[0] >= 1000 and ratio >= 4
            all_ok &= ok
            rows.append([shape, size.replace('MiB', ' MiB') + ' (%s bytes)' % format(int(ours[2]), ','),
                         f(ours[0], 0), f(ours[1], 0), f(theirs[0], 0), f(ratio, 1) + 'x',
                         met(ok)])
    doc.add('### 1. Decoding a save_backup message', '',
            'MB/s of message text (10^6 bytes/s), median of 7 repetitions, Google Benchmark '
            'with random interleaving of all 18 cases in one run. Wall time is what counts; CPU '
            'time is shown beside it because the machine is shared. Goal: >= 1000 MB/s on every '
            'shape and >= 4x nlohmann/json.', '')
    doc.table(['shape', 'size', 'decode_command MB/s (wall)', '(CPU)', 'nlohmann MB/s (wall)',
               'ratio', 'goal'], rows)
    summary.append(['1 decode, all shapes and sizes', 'see table 1', '>= 1000 MB/s, >= 4x',
                    met(all_ok if rows else None)])
    worst = min(rows, key=lambda r: float(r[2])) if rows else None
    if worst:
        summary.append(['1 decode, slowest case (%s %s)' % (worst[0], worst[1].split(' (')[0]),
                        '%s MB/s, %s nlohmann' % (worst[2], worst[5]), '>= 1000 MB/s, >= 4x',
                        worst[6]])

    mem = []
    try:
        with open(os.path.join(res, 'memory.jsonl')) as fh:
            mem = [json.loads(line) for line in fh if line.strip()]
    except OSError:
        pass
    if mem:
        rows = []
        for m in mem:
            rows.append([m['shape'], m['parser'], f(m['message_bytes'] / 2**20, 1),
                         f(m['result_bytes'] / 2**20, 1), f(mib(m['extra_kib']), 1),
                         f(m['extra_kib'] * 1024 / m['message_bytes'], 2) + 'x'])
        doc.add('Peak extra memory of one decode of a 64 MiB message: growth of the peak RSS '
                '(VmHWM, reset just before) over the RSS with the message already in memory; '
                'each in a fresh process, allocations of 1 MiB and more mapped so freed memory '
                'cannot hide them. The decoded backup (the "json" value) is kept, so one copy '
                'is the floor.', '')
        doc.table(['shape', 'parser', 'message MiB', 'decoded value MiB', 'peak extra MiB',
                   'extra / message'], rows)
        ours = [m for m in mem if m['parser'] == 'decode_command']
        if ours:
            worst = max(ours, key=lambda m: m['extra_kib'] * 1024 / m['result_bytes'])
            summary.append(['1 decode peak extra memory (64 MiB)',
                            '%s MiB for a %s MiB value (%s)' % (
                                f(mib(worst['extra_kib']), 1),
                                f(worst['result_bytes'] / 2**20, 1), worst['shape']),
                            'no more than one copy', met(worst['extra_kib'] * 1024 <=
                                                         worst['result_bytes'] * 1.05 + 4 * 2**20)])


def save_section(doc, res, summary, machine):
    s = load(os.path.join(res, 'save.json'))
    if not s:
        doc.add('Save path: no results.', '')
        return None
    ok = s['ratio_median'] <= 2.0
    doc.add('### 2. The save path', '',
            'handle_command_message(temporary data dir, 64 MiB shop-backup message) against '
            'one write() of the same %s bytes plus fsync into a new file in the same folder '
            '(%s, the file system of /tmp), %d rounds A B A B, files removed between runs '
            '(untimed). Decode alone is timed in the same rounds.' % (
                format(s['backup_bytes'], ','), machine.get('tmp_fs', '?'), len(s['ratio'])), '')
    doc.table(['', 'median', 'all runs'], [
        ['handle_command_message', f(s['handle_median_s'] * 1e3, 0, ' ms'),
         ', '.join(f(v * 1e3, 0) for v in s['handle_s'])],
        ['write + fsync (floor)', f(s['floor_median_s'] * 1e3, 0, ' ms'),
         ', '.join(f(v * 1e3, 0) for v in s['floor_s'])],
        ['decode_command alone', f(s['decode_median_s'] * 1e3, 0, ' ms'),
         ', '.join(f(v * 1e3, 0) for v in s['decode_s'])],
        ['ratio handle / floor (per round)', f(s['ratio_median'], 2) + 'x',
         ', '.join(f(v, 2) for v in s['ratio'])],
        ['process peak RSS (ru_maxrss, includes making the message)',
         f(mib(s['ru_maxrss_kib']), 0, ' MiB'), ''],
        ['peak RSS during the save runs over RSS before them',
         f(mib(s['peak_during_save_kib'] - s['rss_before_save_kib']), 0, ' MiB'),
         'message %s MiB' % f(s['message_bytes'] / 2**20, 1)],
    ])
    summary.append(['2 save path / write+fsync floor', f(s['ratio_median'], 2) + 'x (%s vs %s ms)' % (
        f(s['handle_median_s'] * 1e3, 0), f(s['floor_median_s'] * 1e3, 0)), '<= 2x', met(ok)])
    return s


def e2e_section(doc, h, save, summary):
    e = h.get('e2e')
    if not e:
        return
    runs = [r for r in e['runs'] if 'error' not in r]
    errors = [r['error'] for r in e['runs'] if 'error' in r]
    if not runs:
        doc.add('### 3. End to end', '', 'No successful run: %s' % errors, '')
        return
    e2e = med([r['e2e_s'] for r in runs])
    page = med([r['page_call_s'] for r in runs])
    share = save['handle_median_s'] / e2e if save and e2e else None
    rss = [med([r['shell_rss_kib'][i] for r in runs]) for i in range(3)]
    pss = [med([r['shell_pss_kib'][i] for r in runs]) for i in range(3)]
    tree = [med([r['tree_pss_kib'][i] for r in runs]) for i in range(3)]
    back = med([r['shell_rss_kib'][2] / r['shell_rss_kib'][0] for r in runs])
    back_pss = med([r['shell_pss_kib'][2] / r['shell_pss_kib'][0] for r in runs])
    identical = all(r['identical_to_generator'] for r in runs)
    doc.add('### 3. End to end: the real program saves a 64 MiB backup', '',
            'The page (bench/web/e2e.html, served from 127.0.0.1) builds the shop backup object '
            'with the same generator, records Date.now() and calls saveBackup(object); the bench '
            'polls backups/ every 2 ms for tarno-vesk-backup-*.json (it appears only complete, '
            'by rename). Fresh program and data dir each run; %d runs, median. Written file '
            'identical to the C++ generator\'s text in every run: %s.%s' % (
                len(runs), 'yes' if identical else '**no**',
                (' Failed runs: %s.' % errors) if errors else ''), '')
    rows = [['page call to file in place', f(e2e, 2, ' s'),
             ', '.join(f(r['e2e_s'], 2) for r in runs)],
            ['of which the page\'s saveBackup call (two JSON.stringify, relay)', f(page, 2, ' s'),
             ', '.join(f(r['page_call_s'], 2) for r in runs)]]
    st = h.get('e2e_stages', {}).get('runs', [])
    st = [r for r in st if 'trace' in r]
    if st:
        rows.append(['(experimental build) text reaches the shell\'s handler, from the call',
                     f(med([r['trace']['to_shell_s'] for r in st]), 2, ' s'),
                     ', '.join(f(r['trace']['to_shell_s'], 2) for r in st)])
        rows.append(['(experimental build) jsc_value_to_string_as_bytes',
                     f(med([r['trace']['to_bytes_s'] for r in st]) * 1e3, 0, ' ms'),
                     ', '.join(f(r['trace']['to_bytes_s'] * 1e3, 0) for r in st)])
        rows.append(['(experimental build) handle_command_message in the program',
                     f(med([r['trace']['handler_s'] for r in st]) * 1e3, 0, ' ms'),
                     ', '.join(f(r['trace']['handler_s'] * 1e3, 0) for r in st)])
    rows.append(['own share: item 2\'s handle_command_message median / e2e median',
                 f(share * 100 if share else None, 1, ' %'), ''])
    rows.append(['shell RSS before / right after / 10 s after',
                 ' / '.join(f(mib(v), 0) for v in rss) + ' MiB',
                 'after 10 s: %s of before' % f(back * 100, 1, ' %')])
    rows.append(['shell PSS before / right after / 10 s after',
                 ' / '.join(f(mib(v), 0) for v in pss) + ' MiB',
                 'after 10 s: %s of before' % f(back_pss * 100, 1, ' %')])
    rows.append(['whole tree PSS before / right after / 10 s after',
                 ' / '.join(f(mib(v), 0) for v in tree) + ' MiB', ''])
    doc.table(['', 'median', 'runs'], rows)
    summary.append(['3 end to end, 64 MiB', f(e2e, 2, ' s'), '(reported)', ''])
    summary.append(['3 own share of end to end', f(share * 100 if share else None, 1, ' %'),
                    '<= 25 %', met(share is not None and share <= 0.25)])
    summary.append(['3 shell RSS 10 s after save / before', f(back * 100, 1, ' %') +
                    ' (PSS %s)' % f(back_pss * 100, 1, ' %'), 'within 10 %',
                    met(back <= 1.10 and back_pss <= 1.10)])


def startup_section(doc, h, summary):
    s = h.get('startup')
    if not s:
        return
    rounds = s['rounds']
    doc.add('### 4. Start-up and idle memory against peers', '',
            'Same page (bench/web/start.html, fetches /loaded on its load event) on 127.0.0.1, '
            'same Xvfb screen. Start-up: from just before spawn to the /loaded request reaching '
            'the server. PSS: sum over the whole process tree (smaps_rollup), %s s after load. '
            'Runs interleaved (program order rotates each round), %d rounds; ratios are taken '
            'within a round, then the median. Fresh: new profile, HOME and XDG folders each '
            'run. Reused: the profile of an untimed first run.' % (
                f(s['idle_wait_s'], 0), len(rounds)), '')
    rows = []
    for profile in ('fresh', 'reused'):
        for kind in ('tarno-vesk', 'surf', 'chromium'):
            key = '%s/%s' % (kind, profile)
            rs = [r[key] for r in rounds if 'startup_s' in r.get(key, {})]
            rows.append([profile, kind, f(med([r['startup_s'] for r in rs]), 2, ' s'),
                         f(mib(med([r['pss_kib'] for r in rs])), 0, ' MiB'),
                         f(mib(med([r['root_pss_kib'] for r in rs])), 0, ' MiB'), len(rs)])
    doc.table(['profile', 'program', 'start-up', 'tree PSS', 'main process PSS', 'runs'], rows)
    rows = []
    for profile in ('fresh', 'reused'):
        t_ratio, m_ratio = [], []
        for r in rounds:
            ours = r.get('tarno-vesk/%s' % profile, {})
            peers = [r.get('%s/%s' % (k, profile), {}) for k in ('surf', 'chromium')]
            peers = [p for p in peers if 'startup_s' in p]
            if 'startup_s' not in ours or not peers:
                continue
            t_ratio.append(ours['startup_s'] / min(p['startup_s'] for p in peers))
            m_ratio.append(ours['pss_kib'] / min(p['pss_kib'] for p in peers))
        t, m = med(t_ratio), med(m_ratio)
        rows.append([profile, f(t, 2) + 'x', met(t is not None and t <= 1.0), f(m, 2) + 'x',
                     met(m is not None and m <= 1.0)])
        summary.append(['4 start-up / faster peer (%s profile)' % profile, f(t, 2) + 'x',
                        '<= 1.0x', met(t is not None and t <= 1.0)])
        summary.append(['4 idle tree PSS / smaller peer (%s profile)' % profile, f(m, 2) + 'x',
                        '<= 1.0x', met(m is not None and m <= 1.0)])
    doc.table(['profile', 'start-up: ours / faster peer', 'goal <= 1.0x',
               'idle PSS: ours / smaller peer', 'goal <= 1.0x'], rows)
    # Per-process split of the fresh runs, from the median run of each program.
    rows = []
    for kind in ('tarno-vesk', 'surf', 'chromium'):
        rs = [r['%s/fresh' % kind] for r in rounds if 'processes' in r.get('%s/fresh' % kind, {})]
        if not rs:
            continue
        rs.sort(key=lambda r: r['pss_kib'])
        mid = rs[len(rs) // 2]
        parts = {}
        for p in mid['processes']:
            name = proc_name(p)
            parts[name] = parts.get(name, 0) + p['pss_kib']
        rows.append([kind, f(mib(mid['pss_kib']), 0, ' MiB'),
                     ', '.join('%s %s' % (k, f(mib(v), 0)) for k, v in
                               sorted(parts.items(), key=lambda kv: -kv[1]))])
    doc.add('Where each program\'s PSS sits (fresh profile, the median run; MiB):', '')
    doc.table(['program', 'tree PSS', 'by process'], rows)


def idle_section(doc, h, summary):
    i = h.get('idle')
    if not i:
        return
    runs = i['runs']
    shell = [r['shell_ticks'] for r in runs]
    tree = [r['tree_ticks'] for r in runs]
    doc.add('### 5. Idle CPU', '',
            'Demo page (data/demo/index.html, file://) loaded, nothing happening: once the '
            'tree has been quiet for 3 s, utime+stime from /proc/PID/stat over 10 s '
            '(1 tick = 1/%d s). %d runs.' % (i['clk_tck'], len(runs)), '')
    rows = [['shell process ticks (as shipped)', ', '.join(map(str, shell)), f(med(shell), 1)],
            ['whole tree ticks (as shipped)', ', '.join(map(str, tree)), f(med(tree), 1)]]
    for name, vr in i.get('variants', {}).items():
        if name == 'as shipped' or not vr:
            continue
        rows.append(['shell process ticks, %s' % name,
                     ', '.join(str(r['shell_ticks']) for r in vr),
                     f(med([r['shell_ticks'] for r in vr]), 1)])
        rows.append(['whole tree ticks, %s' % name,
                     ', '.join(str(r['tree_ticks']) for r in vr),
                     f(med([r['tree_ticks'] for r in vr]), 1)])
    doc.table(['', 'per run', 'median'], rows)
    summary.append(['5 idle shell CPU over 10 s', '%s ticks (runs: %s)' % (
        f(med(shell), 0), ', '.join(map(str, shell))), '0 ticks', met(max(shell) == 0)])


def breakdown_section(doc, h):
    b = h.get('breakdown')
    if not b or 'processes' not in b:
        return
    doc.add('### 6. Where the memory of our process tree goes', '',
            'One fresh run on the start-up page, %s MiB PSS in all.' % f(mib(b['pss_kib']), 0),
            '')
    doc.table(['process', 'PSS MiB', 'anon', 'file', 'shmem'], [
        [proc_name(p), f(mib(p['pss_kib']), 1), f(mib(p['pss_anon_kib']), 1),
         f(mib(p['pss_file_kib']), 1), f(mib(p['pss_shmem_kib']), 1)]
        for p in sorted(b['processes'], key=lambda p: -p['pss_kib'])])
    names = {str(p['pid']): proc_name(p) for p in b['processes']}
    for pid, maps in b.get('mappings', {}).items():
        doc.add('Biggest mappings of %s (PSS MiB): ' % names.get(pid, pid) + ', '.join(
            '%s %s' % (os.path.basename(m['mapping']) or m['mapping'], f(mib(m['pss_kib']), 1))
            for m in maps[:10]), '')


def experiments_section(doc, h, summary):
    x = h.get('experiments')
    if not x or 'rounds' not in x:
        doc.add('Experiments: %s' % (x or {}).get('skipped', 'not run'), '')
        return
    rounds = x['rounds']
    doc.add('Experiments (%d rounds, all variants interleaved, fresh profile each run, PSS '
            '%s s after load; ratios within a round against the baseline of the same program, '
            'then the median). Our variants run the experimental build (bench/experiments/'
            'apply_switches.py: environment switches only; with none set it is the release '
            'program).' % (len(rounds), f(x['idle_wait_s'], 0)), '')
    rows = []
    for name, kind, _env in x['variants']:
        base = 'baseline' if kind == 'tarno-vesk' else 'surf baseline'
        rs = [r for r in rounds if 'startup_s' in r.get(name, {}) and
              'startup_s' in r.get(base, {})]
        t = med([r[name]['startup_s'] for r in rs])
        m = med([r[name]['pss_kib'] for r in rs])
        m_root = med([r[name]['root_pss_kib'] for r in rs])
        tr = med([r[name]['startup_s'] / r[base]['startup_s'] for r in rs])
        mr = med([r[name]['pss_kib'] / r[base]['pss_kib'] for r in rs])
        mrr = med([r[name]['root_pss_kib'] / r[base]['root_pss_kib'] for r in rs])
        rows.append([name, f(t, 2, ' s'), f(tr, 2) + 'x', f(mib(m), 0, ' MiB'), f(mr, 2) + 'x',
                     f(mib(m_root), 0, ' MiB'), f(mrr, 2) + 'x', len(rs)])
    doc.table(['variant', 'start-up', 'vs baseline', 'tree PSS', 'vs baseline',
               'main process PSS', 'vs baseline', 'runs'], rows)


def machine_section(doc, m):
    doc.add('## Machine', '')
    doc.table(['', ''], [
        ['CPU', '%s, %s cores (%s)' % (m.get('cpu', '?'), m.get('cores', '?'),
                                       m.get('cpu_flags', ''))],
        ['memory', m.get('memory', '?')],
        ['kernel', m.get('kernel', '?')],
        ['Debian', m.get('debian', '?')],
        ['file system of /tmp', m.get('tmp_fs', '?')],
        ['packages', m.get('packages', '?')],
        ['load average at start', m.get('load', '?')],
        ['date (UTC)', m.get('date', '?')],
    ])


def main():
    res, out = sys.argv[1], sys.argv[2]
    machine = load(os.path.join(res, 'machine.json'), {})
    h = load(os.path.join(res, 'harness.json'), {})
    body, summary = Doc(), []
    decode_section(body, res, summary)
    save = save_section(body, res, summary, machine)
    e2e_section(body, h, save, summary)
    startup_section(body, h, summary)
    idle_section(body, h, summary)
    breakdown_section(body, h)
    experiments_section(body, h, summary)

    doc = Doc()
    doc.add('# Performance of Tarno Vesk Desktop', '',
            'Written by `bench/run` (see its header for what it does and how to run it) on '
            '%s. Benchmarks, not tests: figures are printed and recorded, nothing is asserted. '
            'Absolute times drift on shared 2-core machines; every comparison is a ratio '
            'measured within one run with interleaved runs, median quoted.%s' % (
                machine.get('date', '?'),
                ' **Quick mode: fewer repetitions than the full run.**'
                if machine.get('quick') else ''), '')
    doc.add('## Summary', '')
    doc.table(['measurement', 'figure', 'goal', 'status'], summary)
    machine_section(doc, machine)
    doc.add('## Measurements', '')
    doc.lines.extend(body.lines)
    findings = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'findings.md')
    if os.path.exists(findings):
        with open(findings) as fh:
            doc.add(fh.read().rstrip(), '')
    text = '\n'.join(doc.lines) + '\n'
    with open(out, 'w') as fh:
        fh.write(text)
    # The table on standard output: the summary, then every measurement table.
    print('\n'.join(Doc().lines))
    print('Summary')
    for row in summary:
        print('  %-52s %-44s %-22s %s' % tuple(row))
    print()
    print('\n'.join(body.lines))


if __name__ == '__main__':
    main()
