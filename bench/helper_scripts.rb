#!/usr/bin/env ruby
# frozen_string_literal: true
#
# The helper scripts' run time on one crash log beside its anchor, `ruby -e 1`
# (an interpreter that starts and does nothing), in one run: N rounds, each
# running the anchor and every script once, in turn, so that a change of load
# strikes all alike. Prints the median and mean of each and its ratio to the
# anchor's median. Target: at most 1.2 times the anchor.
#
#   ruby bench/helper_scripts.rb [CRASH_LOG] [ROUNDS]
#   (default: the largest fixture under tests/scripts/fixtures, 40 rounds)

require 'tmpdir'

root = File.expand_path('..', __dir__)
resources = File.join(root, 'CrashWatcher/Resources')
log = ARGV[0] || Dir[File.join(root, 'tests/scripts/fixtures/*')].max_by { |f| File.size(f) }
rounds = Integer(ARGV[1] || 40)

commands = {
  'ruby -e 1' => %w[ruby -e 1],
  # The scripts start without RubyGems, which they do not use: the bare
  # interpreter they run on, for comparison.
  'ruby --disable-gems' => %w[ruby --disable-gems -e 1],
  'related-crash-report' => [File.join(resources, 'related-crash-report.rb'), log],
  'extract-crash-info' => [File.join(resources, 'extract-crash-info.rb'), log],
  'upload-gist --show' => [File.join(resources, 'upload-gist.rb'), '--show', log]
}
times = commands.keys.to_h { |name| [name, []] }
Dir.mktmpdir('cw-bench-scripts-') do |home|
  env = { 'HOME' => home, 'RUBYOPT' => nil }
  rounds.times do
    commands.each do |name, argv|
      started = Process.clock_gettime(Process::CLOCK_MONOTONIC)
      pid = Process.spawn(env, *argv, in: File::NULL, out: File::NULL, err: File::NULL)
      Process.wait(pid)
      times[name] << (Process.clock_gettime(Process::CLOCK_MONOTONIC) - started) * 1000
    end
  end
end

median = ->(list) { list.sort[list.size / 2] }
anchor = median.call(times['ruby -e 1'])
puts "#{File.basename(log)} (#{File.size(log)} bytes), #{rounds} rounds, load #{File.read('/proc/loadavg').split.first(3).join(' ')}"
times.each do |name, list|
  printf("%-22s median %7.1f ms  mean %7.1f ms  ratio %.2f\n", name, median.call(list), list.sum / list.size,
         median.call(list) / anchor)
end
