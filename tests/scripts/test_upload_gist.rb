# frozen_string_literal: true

require_relative 'script_helper'
require 'json'
require 'socket'
require 'net/http'

# A hastebin-style paste service on 127.0.0.1, one connection at a time. The
# responder gives [status, body] for a request, or :hang to never answer.
class PasteServer
  Request = Struct.new(:line, :headers, :body, :tls)

  attr_reader :requests, :port

  def initialize(&responder)
    @responder = responder
    @server = TCPServer.new('127.0.0.1', 0)
    @port = @server.addr[1]
    @requests = []
    @clients = []
    @thread = Thread.new { serve }
  end

  def url(path = '')
    "http://127.0.0.1:#{@port}#{path}"
  end

  def stop
    @server.close
    @clients.each(&:close)
    @thread.join(10) || @thread.kill
  end

  private

  def serve
    loop do
      client = @server.accept
      @clients << client
      handle(client)
    rescue IOError, SystemCallError
      break if @server.closed?
    end
  end

  def handle(client)
    first = client.read(1)
    return client.close if first.nil?
    return (@requests << Request.new(nil, {}, nil, first == "\x16".b)) && client.close if first == "\x16".b

    head = first + client.gets("\r\n\r\n").to_s
    line, *fields = head.split("\r\n")
    headers = fields.to_h { |field| field.split(':', 2).map(&:strip).then { |k, v| [k.downcase, v] } }
    request = Request.new(line, headers, client.read(headers['content-length'].to_i), false)
    @requests << request
    answer = @responder.call(request)
    return if answer == :hang
    return stream(client, *answer.drop(1)) if answer.first == :stream

    status, body = answer
    client.write("HTTP/1.1 #{status} Whatever\r\nContent-Type: application/json\r\n" \
                 "Content-Length: #{body.bytesize}\r\nConnection: close\r\n\r\n#{body}")
    client.close
  end

  # +head+, then +piece+ again and again until the client hangs up.
  def stream(client, head, piece)
    client.write(head)
    loop { client.write(piece) }
  rescue IOError, SystemCallError
    client.close
  end
end

# bepasty, the real paste server, on 127.0.0.1 with a throwaway configuration
# and storage: anyone may create items, only the vendor's secret reads them.
class BepastyServer
  SECRET = 'vendor-reads-crashes'

  attr_reader :port

  def initialize
    program = ENV.fetch('PATH', '').split(':').map { |dir| File.join(dir, 'bepasty-server') }.find { |f| File.executable?(f) }
    raise 'bepasty-server is missing: scripts/setup installs the Debian package bepasty' unless program

    @dir = Dir.mktmpdir('cw-bepasty-')
    Dir.mkdir(File.join(@dir, 'storage'))
    File.write(File.join(@dir, 'bepasty.conf'), <<~CONF)
      SECRET_KEY = 'throwaway'
      STORAGE_FILESYSTEM_DIRECTORY = #{File.join(@dir, 'storage').inspect}
      DEFAULT_PERMISSIONS = 'create'
      PERMISSIONS = {#{SECRET.inspect}: 'admin,list,create,read,delete'}
    CONF
    reader, writer = IO.pipe
    @pid = Process.spawn({ 'BEPASTY_CONFIG' => File.join(@dir, 'bepasty.conf') }, program, '--host', '127.0.0.1',
                         '--port', '0', in: File::NULL, out: File::NULL, err: writer)
    writer.close
    @port = wait_for_port(reader)
    Thread.new { reader.each_line { nil } } # keeps its log from filling the pipe
  end

  def url(path = '')
    "http://127.0.0.1:#{@port}#{path}"
  end

  # [status, body] of a GET with the vendor's secret or none.
  def get(path, secret: SECRET)
    uri = URI.parse(url(path))
    request = Net::HTTP::Get.new(uri)
    request.basic_auth('', secret) if secret
    response = Net::HTTP.start(uri.hostname, uri.port, read_timeout: 30) { |http| http.request(request) }
    [response.code.to_i, response.body.to_s.b]
  end

  def stop
    Process.kill('TERM', @pid)
    Process.wait(@pid)
    FileUtils.rm_rf(@dir)
  end

  private

  def wait_for_port(reader)
    deadline = Process.clock_gettime(Process::CLOCK_MONOTONIC) + 60
    log = +''
    while (left = deadline - Process.clock_gettime(Process::CLOCK_MONOTONIC)).positive? && reader.wait_readable(left)
      line = reader.gets or break
      log << line
      port = line[%r{Running on http://127\.0\.0\.1:(\d+)}, 1]
      return port.to_i if port
    end
    Process.kill('KILL', @pid)
    raise "bepasty did not start: #{log}"
  end
end

class UploadGistTest < Minitest::Test
  include ScriptHelper

  def self.bepasty
    @bepasty ||= BepastyServer.new.tap { |server| Minitest.after_run { server.stop } }
  end

  def setup
    super
    @servers = []
  end

  def teardown
    @servers.each(&:stop)
    super
  end

  def hastebin(&responder)
    PasteServer.new(&responder).tap { |s| @servers << s }
  end

  def keyed(key = 'kuvafeyipo')
    hastebin { [200, JSON.generate('key' => key)] }
  end

  def hastebin_env(paste, timeout = nil)
    { 'CRASHWATCHER_PASTE_PROTOCOL' => 'hastebin', 'CRASHWATCHER_PASTE_URL' => paste.url,
      'CRASHWATCHER_PASTE_TIMEOUT' => timeout }.compact
  end

  def upload(path, env)
    output, status = run_script('upload-gist', path, env: env)
    [output.force_encoding(Encoding::UTF_8), status]
  end

  # A crash log where the agent finds one, so that the note shows it under "~".
  def home_log(content = fixture('finder-related.crash'))
    dir = File.join(@home, 'Library/Logs/CrashReporter')
    FileUtils.mkdir_p(dir)
    File.join(dir, 'Finder_2024-03-14-094127_studio.crash').tap { |path| File.binwrite(path, content) }
  end

  NOTE_PATH = '~/Library/Logs/CrashReporter/Finder_2024-03-14-094127_studio.crash'

  def assert_note(reason, path, env, message = reason)
    output, status = upload(path, env)
    assert_equal "(upload failed: #{reason} \u2014 please attach #{NOTE_PATH})", output, message
    assert_equal 1, status, message
    refute_empty last_stderr, "#{message}: the details go to standard error"
  end

  # What the user saw is what is sent: the shown file's bytes as they are,
  # not the log redacted anew; a shown file that cannot be read sends nothing.
  def test_shown_bytes_are_uploaded_as_they_are
    bepasty = self.class.bepasty
    path = home_log
    shown_file = File.join(@tmp, 'shown')
    File.binwrite(shown_file, "#{shown(path: path)}seen \xC3\xA9 by the user\n".b)
    env = { 'CRASHWATCHER_PASTE_URL' => bepasty.url }
    output, status = run_script('upload-gist', path, env: env, options: ['--shown', shown_file])
    assert_equal 0, status, last_stderr
    item = output[%r{\A#{Regexp.escape(bepasty.url)}/([A-Za-z0-9]+)\z}, 1]
    refute_nil item, output
    assert_equal [200, File.binread(shown_file)], bepasty.get("/apis/rest/items/#{item}/download")
    assert_equal 'Finder_2024-03-14-094127.crash',
                 JSON.parse(bepasty.get("/apis/rest/items/#{item}").last)['file-meta']['filename']

    output, status = run_script('upload-gist', path, env: env, options: ['--shown', File.join(@tmp, 'gone')])
    assert_equal 1, status
    assert_equal "(upload failed: cannot read the shown text \u2014 please attach #{NOTE_PATH})",
                 output.force_encoding(Encoding::UTF_8)
  end

  def test_bepasty_item_holds_exactly_what_show_shows_and_expires
    bepasty = self.class.bepasty
    log = related_with('/Applications/Vellumdrift.app/Contents/PlugIns',
                       "#{@home}/Applications/Vellumdrift.app/Contents/PlugIns")
    small = write_log(log)
    # More than one chunk, and bytes outside ASCII.
    large = write_log(log + "Thread 9:\n#{"0   libfoo.dylib \u00e9  \t0x00007fff6c1f663d foo + 8\n" * 30_000}", 'Finder_2024-03-15-101010_studio.crash')
    [[small, nil, 90], [large, '7', 7]].each do |path, days, expected_days|
      env = { 'CRASHWATCHER_PASTE_URL' => bepasty.url, 'CRASHWATCHER_PASTE_EXPIRY_DAYS' => days }.compact
      address, status = upload(path, env) # bepasty is the default protocol
      assert_equal 0, status, last_stderr
      item = address[%r{\A#{Regexp.escape(bepasty.url)}/([A-Za-z0-9]+)\z}, 1]
      refute_nil item, "the item's page is printed: #{address.inspect}"
      assert_equal 200, bepasty.get("/#{item}").first, "the address is the item's page"
      assert_equal [200, shown(path: path).b], bepasty.get("/apis/rest/items/#{item}/download")
      assert_equal 403, bepasty.get("/apis/rest/items/#{item}/download", secret: nil).first, 'only the vendor reads it'
      meta = JSON.parse(bepasty.get("/apis/rest/items/#{item}").last)['file-meta']
      assert_equal expected_days * 86_400, meta['timestamp-max-life'] - meta['timestamp-upload']
      assert_equal [true, 'text/plain'], meta.values_at('complete', 'type')
      assert_equal File.basename(path).sub('_studio', ''), meta['filename'], "no host name in the item's name"
    end
  end

  def test_hastebin_upload_prints_exactly_the_address
    paste = keyed
    log = write_log(fixture('finder-sonoma.ips'), 'Finder-2024-05-21-091244.ips')
    assert_equal [paste.url('/kuvafeyipo'), 0], upload(log, hastebin_env(paste))
    request, = paste.requests
    assert_equal 'POST /documents HTTP/1.1', request.line
    assert_equal shown(path: log).b, request.body
    assert_equal 1, paste.requests.size

    # A base URL with a path; its trailing slash is not doubled.
    env = hastebin_env(paste).merge('CRASHWATCHER_PASTE_URL' => paste.url('/paste/'))
    assert_equal [paste.url('/paste/kuvafeyipo'), 0], upload(log, env)
    assert_equal 'POST /paste/documents HTTP/1.1', paste.requests.last.line
  end

  def test_invalid_utf8_is_replaced
    sent = shown(related_with('Finder [412]', "Finder \xff\xc3( [412]".b))
    assert sent.valid_encoding?
    assert_includes sent, "Finder \uFFFD\uFFFD( [412]"
  end

  def test_server_errors_are_tried_again_and_nothing_else_is
    log = home_log
    answers = [[503, '{}'], [502, '{}']]
    flaky = hastebin { answers.shift || [200, JSON.generate('key' => 'late')] }
    assert_equal [flaky.url('/late'), 0], upload(log, hastebin_env(flaky, '20'))
    assert_equal 3, flaky.requests.size, 'two 5xx answers, then the upload'
    [
      ['server error 500', hastebin { [500, '{"message":"boom"}'] }, 2],
      ['server answered 400', hastebin { [400, '{"message":"too long"}'] }, 1],
      ['unusable answer', hastebin { [200, '<html>hello</html>'] }, 1],
      ['answer too long', hastebin { [200, JSON.generate('key' => 'ab', 'pad' => 'x' * 200_000)] }, 1],
      # Endless header lines, and one endless line: cut off, not held.
      ['answer too long', hastebin { [:stream, "HTTP/1.1 200 OK\r\n", "X-Pad: #{'x' * 1000}\r\n"] }, 1],
      ['answer too long', hastebin { [:stream, "HTTP/1.1 200 OK\r\nX-Pad: ", 'x' * 1000] }, 1]
    ].each do |reason, paste, requests|
      assert_note(reason, log, hastebin_env(paste, '2.5'))
      assert_equal requests, paste.requests.size, "#{reason}: tried again only within the time limit"
    end
    [JSON.generate('message' => 'ok'), JSON.generate('key' => "../x\nBcc: all@example.com")].each do |body|
      assert_note('unusable answer', log, hastebin_env(hastebin { [200, body] }))
    end
  end

  def test_unreachable_services_fail_in_bounded_time_with_the_note
    log = home_log
    silent = hastebin { :hang }
    assert_note('timed out', log, hastebin_env(silent, '1'), 'no answer')
    assert_equal 1, silent.requests.size, 'a request that went out is not sent again'
    refused = TCPServer.new('127.0.0.1', 0)
    port = refused.addr[1]
    refused.close
    assert_note('connection refused', log, { 'CRASHWATCHER_PASTE_URL' => "http://127.0.0.1:#{port}",
                                             'CRASHWATCHER_PASTE_TIMEOUT' => '2' })
  end

  # The agent's own limit bounds the run too, so that the note still comes;
  # what the server answered reaches the agent's log escaped.
  def test_the_agents_limit_bounds_the_run_and_answers_are_logged_escaped
    log = home_log
    silent = hastebin { :hang }
    assert_note('timed out', log, hastebin_env(silent, '600').merge('CRASHWATCHER_SCRIPT_TIME_LIMIT' => '2'))
    forging = hastebin { [403, "denied\nJan  1 00:00:00 h CrashWatcher[1] forged\e[2J"] }
    assert_note('server answered 403', log, hastebin_env(forging, '2'))
    assert_equal 1, last_stderr.lines.size, last_stderr
    refute_includes last_stderr, "\e"
  end

  def test_the_host_is_reached_over_https
    paste = keyed
    env = { 'CRASHWATCHER_PASTE_HOST' => "127.0.0.1:#{paste.port}", 'CRASHWATCHER_PASTE_TIMEOUT' => '5' }
    output, status = upload(home_log, env)
    assert_equal 1, status
    assert_match(/\A\(upload failed: .+ \u2014 please attach #{Regexp.escape(NOTE_PATH)}\)\z/, output)
    assert paste.requests.first&.tls, 'the upload began with a TLS handshake'
  end

  def test_what_is_not_uploaded
    paste = keyed
    env = hastebin_env(paste)
    huge = fixture('finder-related.crash') + ("Thread 9:\n" + "0   x  \t0x1 y\n" * 700_000)
    { 'the crash log is too large' => huge, 'not a crash log' => "my tax return\n", 'the crash log is empty' => '' }
      .each do |reason, content|
      path = home_log(content)
      assert_note(reason, path, env)
      assert_equal [''.b, 1], run_script('upload-gist', path, options: ['--show']), "--show: #{reason}"
    end
    log = home_log
    assert_note('bad paste configuration', log, { 'CRASHWATCHER_PASTE_HOST' => 'evil.example/x?' }, 'no host name')
    assert_note('bad paste configuration', log, { 'CRASHWATCHER_PASTE_URL' => 'file:///etc' }, 'not HTTP')
    assert_note('bad paste configuration', log, env.merge('CRASHWATCHER_PASTE_PROTOCOL' => 'pastebin'), 'protocol')
    File.delete(log)
    assert_note('cannot read the crash log', log, env, 'gone')
    assert_empty paste.requests
  end
end
