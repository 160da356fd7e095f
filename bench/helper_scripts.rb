#!/usr/bin/env ruby
# frozen_string_literal: true
#
# The helper scripts' run time on a crash log beside its anchor, `ruby -e 1`
# (an interpreter that starts and does nothing), in one run: N rounds, each
# running the anchor and every script once, in turn, so that a change of load
# strikes all alike. Prints the median and mean of each and its ratio to the
# anchor's median. Target: at most 1.2 times the anchor on real logs.
#
#   ruby bench/helper_scripts.rb [CRASH_LOG] [ROUNDS]
#   (default: the largest fixture under tests/scripts/fixtures, 40 rounds)
#   ruby bench/helper_scripts.rb --crafted [ROUNDS]
#   (each crash log of bench/crafted_crash_logs.rb, made just under the 8 MiB
#   the scripts read, default 5 rounds. Target: related-crash-report well
#   under a second, every script linear in the log's size)

require 'tmpdir'
require_relative 'crafted_crash_logs'

ROOT = File.expand_path('..', __dir__)
RESOURCES = File.join(ROOT, 'CrashWatcher/Resources')

def commands(log)
  {
    'ruby -e 1' => %w[ruby -e 1],
    # The scripts start without RubyGems, which they do not use: the bare
    # interpreter they run on, for comparison.
    'ruby --disable-gems' => %w[ruby --disable-gems -e 1],
    'related-crash-report' => [File.join(RESOURCES, 'related-crash-report.rb'), log],
    'extract-crash-info' => [File.join(RESOURCES, 'extract-crash-info.rb'), log],
    'upload-gist --show' => [File.join(RESOURCES, 'upload-gist.rb'), '--show', log]
  }
end

def bench(log, rounds, home)
  times = Hash.new { |hash, key| hash[key] = [] }
  cpu = Hash.new { |hash, key| hash[key] = [] }
  env = { 'HOME' => home, 'RUBYOPT' => nil }
  rounds.times do
    commands(log).each do |name, argv|
      started = Process.clock_gettime(Process::CLOCK_MONOTONIC)
      before = children_cpu
      pid = Process.spawn(env, *argv, in: File::NULL, out: File::NULL, err: File::NULL)
      Process.wait(pid)
      times[name] << (Process.clock_gettime(Process::CLOCK_MONOTONIC) - started) * 1000
      cpu[name] << (children_cpu - before) * 1000
    end
  end
  report(log, rounds, times, cpu)
end

# CPU seconds of the children waited for: less swayed by the machine's load
# than the wall time.
def children_cpu
  times = Process.times
  times.cutime + times.cstime
end

def report(log, rounds, times, cpu)
  median = ->(list) { list.sort[list.size / 2] }
  anchor = median.call(times['ruby -e 1'])
  puts "#{File.basename(log)} (#{File.size(log)} bytes), #{rounds} rounds, " \
       "load #{File.read('/proc/loadavg').split.first(3).join(' ')}"
  times.each do |name, list|
    printf("%-22s median %8.1f ms  mean %8.1f ms  ratio %6.2f  cpu %8.1f ms\n", name, median.call(list),
           list.sum / list.size, median.call(list) / anchor, median.call(cpu[name]))
  end
end

Dir.mktmpdir('cw-bench-scripts-') do |home|
  if ARGV[0] == '--crafted'
    rounds = Integer(ARGV[1] || 5)
    CraftedCrashLogs.all((8 * 1024 * 1024) - 65_536).each do |name, content|
      path = File.join(home, name)
      File.binwrite(path, content)
      bench(path, rounds, home)
    end
  else
    log = ARGV[0] || Dir[File.join(ROOT, 'tests/scripts/fixtures/*')].max_by { |f| File.size(f) }
    bench(log, Integer(ARGV[1] || 40), home)
  end
end
