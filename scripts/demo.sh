#!/bin/bash
# Builds norvak-monitor and runs it in the foreground on the bundled demo
# suite (examples/demo, examples/meta): four applications started in
# dependency order, one component that crashes every few seconds and is
# restarted, with the failure and recovery mails shown as they are sent. The
# configuration agent is fake-agent: it supplies the mails' addresses and
# records the StartApp and StopApp notifications, shown in log/agent.log.
# Everything lives in ./demo-run; Ctrl-C stops the monitor and its suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
# Only what the demo runs: its own build directory, no tests, no benchmarks.
build="${NORVAK_BUILD_DIR:-$root/build-demo}"
bash scripts/build.sh "$build" -DNORVAK_TESTS=OFF -DNORVAK_BENCH=OFF

demo="$root/demo-run"
rm -rf "$demo"
mkdir -p "$demo"/{bin,log,run,mail,meta}

# The agent is the fake-agent test double, every other component the
# fake-component one, found under the component's name in the applications'
# directory.
ln -s "$build/tools/fake-agent" "$demo/bin/agent"
for comp in maild smtpd scanner notifier httpd; do
  ln -s "$build/tools/fake-component" "$demo/bin/$comp"
done

# STATIC is a real program, Python's web server, run through norvak-run.
ln -s "$build/tools/norvak-run" "$demo/bin/static"

# The inject command: files each mail in mail/ and appends it to
# log/mails.txt, which is shown below next to the monitor's log.
cat > "$demo/bin/show-mail" <<SCRIPT
#!/bin/sh
tmp=\$(mktemp)
cat > "\$tmp"
"$build/tools/fake-inject" "\$1" < "\$tmp"
{ echo "---------------- mail sent ----------------"; cat "\$tmp"; echo; echo "-------------------------------------------"; } >> "$demo/log/mails.txt"
rm -f "\$tmp"
SCRIPT
chmod +x "$demo/bin/show-mail"

sed "s|@DEMO_DIR@|$demo|g" examples/demo/monitor.conf > "$demo/monitor.conf"
cp examples/demo/agent.data "$demo/agent.data"
for f in examples/meta/*.mmc; do
  sed "s|@DEMO_DIR@|$demo|g" "$f" > "$demo/meta/$(basename "$f")"
done
touch "$demo/log/monitor.log" "$demo/log/mails.txt" "$demo/log/agent.log"

cat <<TEXT

norvak-monitor demo: AGENT, MAILD (needs AGENT), WEB (needs MAILD) and FILTER
(needs AGENT and MAILD). FILTER's scanner crashes 4 s after every start; the
monitor mails the failure, restarts it 2 s later and mails the recovery. The
mails go from and to the addresses the agent supplies (agent.data); the agent
records the monitor's requests and StartApp/StopApp notifications in
log/agent.log.
Files: $demo   (monitor.conf, agent.data, meta/*.mmc, log/, mail/)
Press Ctrl-C to stop the monitor and the whole suite.

TEXT
echo "STATIC (needs WEB) is Python's web server run through norvak-run; it lists"
echo "the mails on http://127.0.0.1:8631/. Kill it to see it restarted:"
echo "  pkill -f '^python3 -m http.server --bind 127.0.0.1 --directory $demo/mail'"
echo

tail -n +1 -F "$demo/log/monitor.log" "$demo/log/agent.log" "$demo/log/mails.txt" 2>/dev/null &
tailer=$!
cleanup() {
  kill "$tailer" 2>/dev/null || true
  wait "$tailer" 2>/dev/null || true
}
trap cleanup EXIT
# A handler, not an ignore: the monitor must still receive Ctrl-C itself.
trap 'true' INT

status=0
"$build/program/norvak-monitor" --conf "$demo/monitor.conf" || status=$?
sleep 0.3
echo
echo "norvak-monitor ended with status $status; processes of the suite left: $(pgrep -f "$demo/bin/" | wc -l)"
exit "$status"
