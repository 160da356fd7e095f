#!/usr/bin/env -S ruby --disable-gems
# frozen_string_literal: true
#
# A burst of crash logs of one fault: the built agent with its real
# relatedness script against that script's own time for the same logs.
#
#   ruby bench/crash_burst.rb [BUILD_DIR] [COUNT]      (default: build 1000)
#
# COUNT copies of a related fixture (one signature) are written at once; the
# agent (staged in a temporary prefix with a stand-in dialog helper that
# answers "Don't Send" at once and records each dialog) is given one
# user-signal-1, and its time is taken from that signal to the log line of
# the last log. The anchor runs related-crash-report on the same
# logs one after the other, exactly as the agent starts it (/bin/bash -l -c),
# once before and once after the agent; its mean is the figure. Both wall time
# and CPU time (the agent's with its reaped children, the anchor's children),
# the latter steadier on a loaded machine. Target: each log asked once, one
# dialog, the agent within the anchor's time plus 10 %.
# Also prints the size of the state file the agent left.

require 'fileutils'
require 'tmpdir'

build = File.expand_path(ARGV[0] || 'build')
count = Integer(ARGV[1] || 1000)
source = File.expand_path('..', __dir__)
agent = File.join(build, 'bin/CrashWatcher')
abort "no agent at #{agent}; build first" unless File.executable?(agent)

DIALOG = <<~'RUBY'
  #!/usr/bin/env -S ruby --disable-gems
  require 'json'
  io = IO.new(3, 'r+')
  io.sync = true
  io.puts({ev: 'ready'}.to_json)
  keys = {}
  io.each_line do |line|
    m = JSON.parse(line)
    case m['op']
    when 'key' then keys[m['key']] = m['id']
    when 'measure' then io.puts({ev: 'size', seq: m['seq'], width: 80, height: 20}.to_json)
    when 'show'
      File.open(File.join(ENV['HOME'], 'dialogs.txt'), 'a') { |f| f.puts('shown') }
      io.puts({ev: 'pressed', id: keys["\e"]}.to_json)
    end
  end
RUBY

def now = Process.clock_gettime(Process::CLOCK_MONOTONIC)

Dir.mktmpdir('cw-burst-') do |root|
  prefix = File.join(root, 'prefix')
  home = File.join(root, 'home')
  FileUtils.mkdir_p([File.join(prefix, 'bin'), File.join(prefix, 'libexec/crashwatcher'),
                     File.join(home, 'Library/Application Support'), File.join(home, 'Library/Logs/DiagnosticReports')])
  FileUtils.cp(agent, File.join(prefix, 'bin'))
  FileUtils.cp_r(File.join(build, 'share'), prefix)
  dialog = File.join(prefix, 'libexec/crashwatcher/crashwatcher-dialog')
  File.write(dialog, DIALOG)
  File.chmod(0o755, dialog)
  script = File.join(prefix, 'share/crashwatcher/Resources/related-crash-report.rb')

  logs_dir = File.join(home, 'Library/Logs/CrashReporter')
  FileUtils.mkdir_p(logs_dir)
  text = File.binread(File.join(source, 'tests/scripts/fixtures/finder-related.crash'))
  logs = Array.new(count) do |i|
    File.join(logs_dir, format('Finder_2026-12-08-%06d_studio.crash', i)).tap { |path| File.binwrite(path, text) }
  end

  env = { 'HOME' => home, 'CRASHWATCHER_LOCAL_LIBRARY' => File.join(root, 'local'), 'DISPLAY' => nil,
          'WAYLAND_DISPLAY' => nil }
  # [wall seconds, CPU seconds of the script runs]
  anchor = lambda do
    start = now
    cpu = Process.times
    logs.each do |log|
      pid = Process.spawn(env, '/bin/bash', '-l', '-c', %("#{script}" "#{log}"), out: File::NULL)
      Process.wait(pid)
    end
    after_cpu = Process.times
    [now - start, after_cpu.cutime + after_cpu.cstime - cpu.cutime - cpu.cstime]
  end
  # CPU seconds of a process and its reaped children, from /proc.
  cpu_of = lambda do |pid|
    fields = File.read("/proc/#{pid}/stat").split(') ', 2).last.split
    fields[11, 4].sum(&:to_i).to_f / 100
  end

  before = anchor.call
  # The logs were just written: within the first scan's reach.
  FileUtils.touch(logs)
  log_path = File.join(root, 'agent.log')
  pid = Process.spawn(env, File.join(prefix, 'bin/CrashWatcher'), err: log_path)
  sleep 0.02 until File.exist?(log_path) && File.read(log_path).include?("Watching '")
  start = now
  Process.kill('USR1', pid)
  handled = ->(log) { log.scan(/crash report was (?:not )?related|is the same crash as/).size }
  sleep 0.01 until handled.call(File.read(log_path)) >= count
  agent_seconds = now - start
  agent_cpu = cpu_of.call(pid)
  Process.kill('INT', pid)
  Process.wait(pid)
  after = anchor.call

  agent_log = File.read(log_path)
  dialogs = File.exist?(File.join(home, 'dialogs.txt')) ? File.readlines(File.join(home, 'dialogs.txt')).size : 0
  state = File.join(home, 'Library/Application Support/.VellumdriftCrashWatcher.state')
  anchor_seconds = (before[0] + after[0]) / 2
  anchor_cpu = (before[1] + after[1]) / 2
  puts "logs=#{count} dialogs=#{dialogs} handled=#{handled.call(agent_log)}"
  puts format('wall: anchor_s=%.2f (before %.2f, after %.2f) agent_s=%.2f ratio=%.3f', anchor_seconds, before[0],
              after[0], agent_seconds, agent_seconds / anchor_seconds)
  puts format('cpu: anchor_s=%.2f (before %.2f, after %.2f) agent_s=%.2f ratio=%.3f', anchor_cpu, before[1],
              after[1], agent_cpu, agent_cpu / anchor_cpu)
  puts "state_file_bytes=#{File.size?(state).to_i}"
end
