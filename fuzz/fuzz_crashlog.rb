# frozen_string_literal: true
#
# Fuzzes the crash-log reading of the helper scripts related-crash-report,
# extract-crash-info and upload-gist --show (text reports and JSON .ips
# reports): mutates crash logs (the seeds, the script tests' fixtures) with a
# fixed seed for a fixed time and runs the scripts on each mutant, checking
# the contract the agent relies on:
#   - related-crash-report exits 0, 1 or 2, and prints nothing unless 1; then
#     one line, the signature: printable UTF-8, three fields, bounded;
#   - extract-crash-info exits 0 with one line of printable UTF-8 (no line
#     break, at most 200 characters) or 2 with nothing;
#   - both agree on what is no crash log (status 2);
#   - upload-gist --show redacts every crash log (status 0, valid UTF-8, as
#     many lines as the log) and refuses the rest (status 1, nothing printed);
#   - none takes longer than the per-input limit (a hang is a finding).
# Mutations splice in its own structural tokens and the entries of
# fuzz/fuzz_crashlog.dict (forms of what the redaction removes or keeps).
#
# Each script runs in a forked child that loads it as the interpreter would,
# so that a run costs milliseconds instead of a login shell; the seeds, the
# regressions and every RECHECK_EVERY-th mutant are run again exactly as the
# agent runs them (/bin/bash -l -c, a fresh HOME) and must give the same
# result. The first finding is saved under --artifacts and ends the run with
# status 1.
#
#   ruby fuzz/fuzz_crashlog.rb --seconds 30 [--seed N] [--resources DIR]
#        [--corpus DIR] [--fixtures DIR] [--regressions DIR] [--artifacts DIR]
#   ruby fuzz/fuzz_crashlog.rb --replay FILE...   (check given inputs only)

require 'digest'
require 'fileutils'
require 'optparse'
require 'tmpdir'

ROOT = File.expand_path('..', __dir__)

options = {
  seconds: 30,
  seed: 20_240_314,
  resources: File.join(ROOT, 'CrashWatcher/Resources'),
  corpus: File.join(ROOT, 'fuzz/corpus/fuzz_crashlog'),
  fixtures: File.join(ROOT, 'tests/scripts/fixtures'),
  regressions: File.join(ROOT, 'fuzz/regressions/fuzz_crashlog'),
  artifacts: File.join(ROOT, 'build-fuzz/artifacts/fuzz_crashlog'),
  limit: 10.0,
  replay: nil
}
OptionParser.new do |parser|
  parser.on('--seconds N', Float) { |v| options[:seconds] = v }
  parser.on('--seed N', Integer) { |v| options[:seed] = v }
  parser.on('--resources DIR') { |v| options[:resources] = v }
  parser.on('--corpus DIR') { |v| options[:corpus] = v }
  parser.on('--fixtures DIR') { |v| options[:fixtures] = v }
  parser.on('--regressions DIR') { |v| options[:regressions] = v }
  parser.on('--artifacts DIR') { |v| options[:artifacts] = v }
  parser.on('--limit SECONDS', Float, 'time one script may take on one input') { |v| options[:limit] = v }
  parser.on('--replay', 'check the files given as arguments, nothing else') { options[:replay] = true }
end.parse!

# A script's result on one input.
Outcome = Struct.new(:status, :output, :seconds, :timed_out) do
  def to_s
    timed_out ? "no end within #{seconds.round(1)} s" : "status #{status.inspect}, output #{output.inspect}"
  end
end

class Finding < StandardError; end

class CrashLogFuzzer
  MAX_SUMMARY = 200
  RECHECK_EVERY = 64
  MAX_INPUT = 256 * 1024

  # Fragments of crash-log structure the mutator splices in.
  TOKENS = [
    "Process:               Finder [412]\n", "Crashed Thread:        0\n", "Crashed Thread: 999999999\n",
    "Exception Type:        EXC_BAD_ACCESS (SIGSEGV)\n", "Termination Signal:    Segmentation fault: 11\n",
    "Thread 0 Crashed:: Dispatch queue: com.apple.main-thread\n", "Thread 1:\n", "Thread 4294967296 Crashed:\n",
    "Last Exception Backtrace:\n", "Application Specific Information:\n", "Application Specific Backtrace 1:\n",
    "Binary Images:\n", "\n", "\r\n", "\t", " + ", "0x", "0x0000000000000000", "0xffffffffffffffff",
    "0x10c4d0000 - 0x10c4f7fff +com.vellumdrift.VellumdriftFinderSync (1.0) <UUID> /Applications/Vellumdrift.app/X\n",
    "1   com.vellumdrift.VellumdriftFinderSync\t0x000000010c4d5e71 -[VD x:] + 1\n", "Vellumdrift", "VELLUMDRIFT",
    "(0x10c4d5e71 0x1)", "???", "<", ">", "/", ":", "\u2026", "\u200b", "\u202e", "\xff".b, "\xc3".b, "\xed\xa0\x80".b,
    "\0", "%s%n", "#\{`id`}", "'", "\\",
    # 10.4 and the application-specific information's single-space lines.
    "**********\n", "Command: Finder\n", "Exception:  EXC_BAD_ACCESS (0x0001)\n", "Binary Images Description:\n", " \n",
    # The JSON report and what redaction looks for.
    '{', '}', '[', ']', '"', ',', ' : ', '"faultingThread" : 0,', '"imageIndex":1', '"imageOffset":22128',
    '"symbol":"-[VD x:]"', '"usedImages" : [', '{"base":4386848768,"size":327680,"name":"VellumdriftFinderSync"}',
    '"asi" : {"Vellumdrift":["x \\/Users\\/bob\\/y"]},', '"lastExceptionBacktrace" : [{"imageOffset":1,"imageIndex":1}],',
    '"crashReporterKey" : 12,', '"userID" : "x"', '\\u0000', '\\/', "Anonymous UUID: x\n", "/Users/bob/", "a@b.example",
    "fe80::1", "10.0.0.1", "00:11:22:33:44:55", "host.local"
  ].map(&:b)

  # The entries of a libFuzzer dictionary: "value" or name="value", with
  # \\, \" and \xNN escapes.
  def self.dictionary(path)
    return [] unless File.exist?(path)

    File.readlines(path, chomp: true).filter_map do |line|
      quoted = line[/\A\s*(?:\w+=)?"(.*)"\s*\z/, 1] or next
      quoted.b.gsub(/\\(x\h\h|.)/n) { |m| m[1] == 'x' ? m[2, 2].hex.chr : m[1] }
    end
  end

  TOKENS = (TOKENS + dictionary(File.join(__dir__, 'fuzz_crashlog.dict'))).freeze

  def initialize(options)
    @options = options
    @random = Random.new(options[:seed])
    @resources = options[:resources]
    @scripts = {
      related: File.join(@resources, 'related-crash-report.rb'),
      extract: File.join(@resources, 'extract-crash-info.rb'),
      show: File.join(@resources, 'upload-gist.rb')
    }
    @work = Dir.mktmpdir('cw-fuzz-crashlog-')
    @home = File.join(@work, 'home')
    Dir.mkdir(@home)
    @path = File.join(@work, 'Finder_2024-03-14-094127_studio.crash')
    @stats = Hash.new(0)
    # Loaded once here, so each forked run finds them in place.
    %w[net/http openssl json uri].each { |library| require library }
    require File.join(@resources, 'crashlog')
    require File.join(@resources, 'redaction')
  end

  def cleanup
    FileUtils.rm_rf(@work)
  end

  def seeds
    files = [@options[:corpus], @options[:fixtures]].compact.flat_map do |dir|
      Dir.exist?(dir) ? Dir.children(dir).sort.map { |name| File.join(dir, name) } : []
    end
    files.select { |f| File.file?(f) }.map { |f| File.binread(f) }
  end

  def regressions
    dir = @options[:regressions]
    return [] unless dir && Dir.exist?(dir)

    Dir.children(dir).sort.map { |name| File.join(dir, name) }.select { |f| File.file?(f) }
  end

  # Checks one input; raises Finding with the reason.
  def check(input, through_shell:)
    File.binwrite(@path, input)
    related = run_forked(:related)
    extract = run_forked(:extract)
    show = run_forked(:show)
    @stats[:inputs] += 1
    @stats["related=#{related.status}"] += 1
    verify(related, extract)
    verify_show(show, related, input)
    return unless through_shell

    @stats[:shell] += 1
    { related: related, extract: extract, show: show }.each do |name, forked|
      shell = run_shell(name)
      raise Finding, "#{name} through bash -l: #{shell}" if shell.timed_out
      next if shell.status == forked.status && shell.output == forked.output

      raise Finding, "#{name} through bash -l gives #{shell}, run directly #{forked}"
    end
  end

  def verify(related, extract)
    [[:related, related], [:extract, extract]].each do |name, outcome|
      raise Finding, "#{name} did not end: #{outcome}" if outcome.timed_out
    end
    raise Finding, "related-crash-report: #{related} (0, 1 or 2 expected)" unless [0, 1, 2].include?(related.status)
    verify_signature(related)
    raise Finding, "extract-crash-info: #{extract} (0 or 2 expected)" unless [0, 2].include?(extract.status)

    if extract.status == 2
      raise Finding, "extract-crash-info failed but printed #{extract.output.inspect}" unless extract.output.empty?
    else
      verify_summary(extract.output)
    end
    return unless (related.status == 2) != (extract.status == 2)

    raise Finding, "related-crash-report (#{related}) and extract-crash-info (#{extract}) disagree on whether " \
                   'this is a crash log'
  end

  def verify_show(show, related, input)
    raise Finding, "upload-gist --show did not end: #{show}" if show.timed_out

    if related.status == 2 || input.empty?
      return if show.status == 1 && show.output.empty?

      raise Finding, "upload-gist --show on no crash log: #{show} (1 and nothing expected)"
    end
    raise Finding, "upload-gist --show on a crash log: #{show} (0 expected)" unless show.status.zero?

    text = show.output.dup.force_encoding(Encoding::UTF_8)
    raise Finding, 'upload-gist --show gave invalid UTF-8' unless text.valid_encoding?

    lines = input.dup.force_encoding(Encoding::UTF_8).scrub.lines.size
    raise Finding, "upload-gist --show gave #{text.lines.size} lines for #{lines}" unless text.lines.size == lines
  end

  def verify_signature(related)
    return if related.status != 1 && related.output.empty?
    raise Finding, "related-crash-report printed #{related.output.inspect}" unless related.status == 1

    text = related.output.dup.force_encoding(Encoding::UTF_8)
    raise Finding, "signature is not valid UTF-8: #{text.inspect}" unless text.valid_encoding?
    raise Finding, "signature is not one line: #{text.inspect}" unless text.end_with?("\n") && text.count("\n") == 1
    raise Finding, "signature holds unprintable characters: #{text.inspect}" if text.chomp.match?(/\p{C}/)
    raise Finding, "signature has not three fields: #{text.inspect}" unless text.split(' | ').size >= 3
    raise Finding, "signature has #{text.length} characters" if text.length > 1000
  end

  def verify_summary(bytes)
    text = bytes.dup.force_encoding(Encoding::UTF_8)
    raise Finding, "summary is not valid UTF-8: #{bytes.inspect}" unless text.valid_encoding?
    raise Finding, 'summary is empty' if text.empty?
    raise Finding, "summary holds a line break: #{text.inspect}" if text.match?(/[\n\r\u2028\u2029\u0085]/)
    raise Finding, "summary holds unprintable characters: #{text.inspect}" if text.match?(/\p{C}/)
    raise Finding, "summary has #{text.length} characters (at most #{MAX_SUMMARY})" if text.length > MAX_SUMMARY
    raise Finding, "summary begins or ends with space: #{text.inspect}" if text != text.strip
  end

  # The script run as the interpreter runs it, in a child of this process.
  def run_forked(name)
    reader, writer = IO.pipe
    started = now
    pid = fork do
      reader.close
      $stdout.reopen(writer)
      $stderr.reopen(File::NULL, 'w')
      $stdin.reopen(File::NULL)
      Process.setrlimit(:AS, 4 << 30)
      ARGV.replace(name == :show ? ['--show', @path] : [@path])
      status = 0
      begin
        load @scripts.fetch(name)
      rescue SystemExit => e
        status = e.status
      rescue Exception # rubocop:disable Lint/RescueException
        status = 99 # an error escaped the script: a finding by itself
      end
      $stdout.flush
      exit!(status)
    end
    writer.close
    collect(pid, reader, started)
  end

  # The script run exactly as the agent runs it.
  def run_shell(name)
    quote = ->(text) { "'#{text.gsub("'", "'\\\\''")}'" }
    command = "#{quote.call(@scripts.fetch(name))} #{name == :show ? '--show ' : ''}#{quote.call(@path)}"
    env = { 'HOME' => @home, 'RUBYOPT' => nil, 'BASH_ENV' => nil, 'ENV' => nil }
    reader, writer = IO.pipe
    started = now
    pid = Process.spawn(env, '/bin/bash', '-l', '-c', command, in: File::NULL, out: writer, err: File::NULL,
                                                              chdir: @work, pgroup: true)
    writer.close
    # A login shell reads profiles: give it more room than the script alone.
    collect(pid, reader, started, @options[:limit] * 3, group: true)
  end

  # Output and status of a child, killed when it overruns the limit.
  def collect(pid, reader, started, limit = @options[:limit], group: false)
    output = +''.b
    deadline = started + limit
    loop do
      remaining = deadline - now
      break if remaining <= 0
      break unless IO.select([reader], nil, nil, remaining)

      chunk = reader.read_nonblock(65_536, exception: false)
      break if chunk.nil?

      output << chunk unless chunk == :wait_readable
    end
    waited = wait_until(pid, deadline)
    if waited.nil?
      Process.kill('KILL', group ? -pid : pid)
      Process.waitpid2(pid)
      return Outcome.new(nil, output, now - started, true)
    end
    Outcome.new(waited[1].exitstatus, output, now - started, false)
  ensure
    reader.close unless reader.closed?
  end

  def wait_until(pid, deadline)
    loop do
      waited = Process.waitpid2(pid, Process::WNOHANG)
      return waited if waited
      return nil if now >= deadline

      sleep 0.002
    end
  end

  def now
    Process.clock_gettime(Process::CLOCK_MONOTONIC)
  end

  # One to four random edits of a crash log.
  def mutate(input, pool)
    data = input.b
    (1 + @random.rand(4)).times { data = mutate_once(data, pool) }
    data[0, MAX_INPUT]
  end

  def mutate_once(data, pool)
    case @random.rand(12)
    when 0 # flip a bit
      return data if data.empty?

      i = @random.rand(data.bytesize)
      data.setbyte(i, data.getbyte(i) ^ (1 << @random.rand(8)))
      data
    when 1 # random bytes in
      insert(data, @random.bytes(1 + @random.rand(8)))
    when 2 # a range out
      return data if data.empty?

      i = @random.rand(data.bytesize)
      data.byteslice(0, i) + (data.byteslice(i + 1 + @random.rand(64), data.bytesize) || ''.b)
    when 3 # a range doubled
      return data if data.empty?

      i = @random.rand(data.bytesize)
      piece = data.byteslice(i, 1 + @random.rand(256))
      insert(data, piece * (1 + @random.rand(4)))
    when 4, 5 # a structural token at a line start or anywhere
      token = TOKENS[@random.rand(TOKENS.size)]
      @random.rand(2).zero? ? insert_at_line(data, token) : insert(data, token)
    when 6 # a long run of one character: padding, separators, blanks
      run = [' ', "\t", '0', 'a', '-', '(', "\u00a0", "\v", '+'].sample(random: @random).b
      insert(data, run * (1 + @random.rand(6000)))
    when 7 # a line from another crash log
      other = pool[@random.rand(pool.size)].lines
      return data if other.empty?

      insert_at_line(data, other[@random.rand(other.size)])
    when 8 # two lines swapped
      lines = data.lines
      return data if lines.size < 2

      a = @random.rand(lines.size)
      b = @random.rand(lines.size)
      lines[a], lines[b] = lines[b], lines[a]
      lines.join
    when 9 # a number made extreme
      data.sub(/\d+/n) { ['0', '999999999', '18446744073709551616', '-1', '00000000000000000000'].sample(random: @random) }
    when 10 # cut short
      data.byteslice(0, @random.rand(data.bytesize + 1))
    else # a whole line repeated
      lines = data.lines
      return data if lines.empty?

      line = lines[@random.rand(lines.size)]
      insert_at_line(data, line * (1 + @random.rand(200)))
    end
  end

  def insert(data, piece)
    i = @random.rand(data.bytesize + 1)
    data.byteslice(0, i) + piece.b + (data.byteslice(i, data.bytesize) || ''.b)
  end

  def insert_at_line(data, piece)
    lines = data.lines
    lines.insert(@random.rand(lines.size + 1), piece.b)
    lines.join
  end

  def save(input, reason)
    FileUtils.mkdir_p(@options[:artifacts])
    path = File.join(@options[:artifacts], "finding-#{Digest::SHA1.hexdigest(input)}.crash")
    File.binwrite(path, input)
    puts "FINDING: #{reason}"
    puts "  input (#{input.bytesize} bytes) saved as #{path}"
    puts "  again: ruby fuzz/fuzz_crashlog.rb --replay #{path}"
    path
  end

  def stat_line(elapsed)
    rate = elapsed.positive? ? (@stats[:inputs] / elapsed).round(1) : 0
    related = [0, 1, 2].map { |s| "#{s}:#{@stats["related=#{s}"]}" }.join(' ')
    "#{@stats[:inputs]} inputs, #{rate} inputs/s, #{@stats[:shell]} through bash -l, related-crash-report #{related}"
  end

  def replay(files)
    files.each do |file|
      input = File.binread(file)
      check(input, through_shell: true)
      puts "passes: #{file}"
    rescue Finding => e
      save(input, "#{file}: #{e.message}")
      return false
    end
    true
  end

  def fuzz
    started = now
    return false unless replay(regressions)

    pool = seeds
    raise 'no seeds to mutate' if pool.empty?

    pool.each do |input|
      check(input, through_shell: true)
    rescue Finding => e
      save(input, "seed: #{e.message}")
      return false
    end
    deadline = started + @options[:seconds]
    count = 0
    while now < deadline
      input = mutate(pool[@random.rand(pool.size)], pool)
      count += 1
      begin
        check(input, through_shell: (count % RECHECK_EVERY).zero?)
      rescue Finding => e
        save(input, e.message)
        puts "stat: #{stat_line(now - started)}"
        return false
      end
    end
    puts "stat: #{stat_line(now - started)}"
    true
  end
end

fuzzer = CrashLogFuzzer.new(options)
begin
  ok = options[:replay] ? fuzzer.replay(ARGV) : fuzzer.fuzz
ensure
  fuzzer.cleanup
end
exit(ok ? 0 : 1)
