# frozen_string_literal: true
#
# Shared by the helper-script tests: runs a script the way the agent does
# (/bin/bash -l -c with both paths single-quoted), in a temporary HOME and
# working folder, and builds crash logs from the fixtures.

require 'minitest/autorun'
require 'fileutils'
require 'tmpdir'

module ScriptHelper
  RESOURCES = ENV.fetch('CW_RESOURCES_DIR', File.expand_path('../../CrashWatcher/Resources', __dir__))
  FIXTURES = File.join(__dir__, 'fixtures')
  # Only a guard against a hung script, so that a fault fails the test
  # instead of stalling the run; no assertion depends on timing.
  HANG_GUARD = 120
  # The account name the scripts see, the same on every machine.
  ACCOUNT = 'ilvardt'

  # Variables of the developer's own environment that would change what the
  # scripts do.
  CLEARED = %w[CRASHWATCHER_PASTE_HOST CRASHWATCHER_PASTE_URL CRASHWATCHER_PASTE_TIMEOUT CRASHWATCHER_PASTE_PROTOCOL
               CRASHWATCHER_PASTE_EXPIRY_DAYS
               http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY RUBYOPT BASH_ENV ENV].freeze

  def setup
    super
    @tmp = Dir.mktmpdir('cw-scripts-')
    @home = File.join(@tmp, 'home')
    Dir.mkdir(@home)
  end

  def teardown
    FileUtils.rm_rf(@tmp)
    super
  end

  def fixture(name)
    File.binread(File.join(FIXTURES, name))
  end

  def write_log(content, name = 'Finder_2024-03-14-094127_studio.crash')
    path = File.join(@tmp.b, name.b)
    File.binwrite(path, content)
    path
  end

  # The agent's own quoting: single quotes, each inner one written '\''.
  def shell_quote(text)
    "'".b + text.b.gsub("'".b, "'\\\\''".b) + "'".b
  end

  # Runs the script on the crash log, +options+ before it; gives [standard
  # output (bytes), exit status].
  def run_script(name, crash_path, env: {}, script: File.join(RESOURCES, "#{name}.rb"), options: [])
    command = [script, *options, crash_path].map { |word| shell_quote(word) }.join(' '.b)
    child_env = CLEARED.to_h { |key| [key, nil] }.merge('HOME' => @home, 'USER' => ACCOUNT, 'LOGNAME' => ACCOUNT)
                       .merge(env)
    reader, writer = IO.pipe
    # Standard error is kept for failure messages rather than cluttering the run.
    @stderr_path = File.join(@tmp, 'stderr.log')
    pid = Process.spawn(child_env, '/bin/bash', '-l', '-c', command,
                        in: File::NULL, out: writer, err: @stderr_path, chdir: @tmp, pgroup: true)
    writer.close
    output = Thread.new { reader.binmode.read }
    unless output.join(HANG_GUARD)
      Process.kill('KILL', -pid)
      flunk "#{name} did not end: #{last_stderr}"
    end
    _, status = Process.wait2(pid)
    [output.value, status.exitstatus]
  ensure
    reader&.close
  end

  # What upload-gist would upload, as text.
  def shown(content = nil, env: {}, path: write_log(content))
    output, status = run_script('upload-gist', path, env: env, options: ['--show'])
    assert_equal 0, status, last_stderr
    output.force_encoding(Encoding::UTF_8)
  end

  def last_stderr
    File.exist?(@stderr_path.to_s) ? File.binread(@stderr_path).scrub : ''
  end

  # A copy of the related fixture in which the text of +from+ is replaced.
  def related_with(from, to, fixture_name = 'finder-related.crash')
    text = fixture(fixture_name)
    refute_nil text.index(from.b), "fixture lacks #{from.inspect}"
    text.sub(from.b, to.b)
  end
end
