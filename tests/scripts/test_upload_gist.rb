# frozen_string_literal: true

require_relative 'script_helper'
require 'json'
require 'socket'

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

    status, body = answer
    client.write("HTTP/1.1 #{status} Whatever\r\nContent-Type: application/json\r\n" \
                 "Content-Length: #{body.bytesize}\r\nConnection: close\r\n\r\n#{body}")
    client.close
  end
end

class UploadGistTest < Minitest::Test
  include ScriptHelper

  def setup
    super
    @servers = []
  end

  def teardown
    @servers.each(&:stop)
    super
  end

  def server(&responder)
    PasteServer.new(&responder).tap { |s| @servers << s }
  end

  def keyed(key = 'kuvafeyipo')
    server { [200, JSON.generate('key' => key)] }
  end

  def upload(path, env)
    output, status = run_script('upload-gist', path, env: env)
    [output, status]
  end

  def assert_fails(path, env, message = nil)
    output, status = upload(path, env)
    assert_empty output, message
    refute_equal 0, status, message
    refute_empty last_stderr, "#{message}: says why on standard error"
  end

  def test_upload_prints_exactly_the_address
    paste = keyed
    log = fixture('finder-related.crash')
    assert_equal [paste.url('/kuvafeyipo'), 0], upload(write_log(log), 'CRASHWATCHER_PASTE_URL' => paste.url)
    request, = paste.requests
    assert_equal 'POST /documents HTTP/1.1', request.line
    assert_equal log, request.body
    assert_equal 1, paste.requests.size

    # A base URL with a path; its trailing slash is not doubled.
    assert_equal [paste.url('/paste/kuvafeyipo'), 0],
                 upload(write_log(log), 'CRASHWATCHER_PASTE_URL' => paste.url('/paste/'))
    assert_equal 'POST /paste/documents HTTP/1.1', paste.requests.last.line
  end

  def test_home_and_account_name_are_replaced_before_upload
    paste = keyed
    log = related_with('Anonymous UUID:', "Sandbox:               #{@home}/Library/Containers/x\n" \
                                          "Document:              /Users/ilvardt/Documents/Q1 plan.numbers\n" \
                                          "Host:                  ilvardt-mbp.local\nAnonymous UUID:")
    log = log.sub('/Applications/Vellumdrift.app/Contents/PlugIns',
                  "#{@home}/Applications/Vellumdrift.app/Contents/PlugIns")
    _, status = upload(write_log(log), 'CRASHWATCHER_PASTE_URL' => paste.url, 'USER' => 'ilvardt', 'LOGNAME' => 'ilvardt')
    assert_equal 0, status
    sent = paste.requests.first.body
    assert_includes sent, "Sandbox:               ~/Library/Containers/x\n"
    assert_includes sent, '/Users/USER/Documents/Q1 plan.numbers'
    assert_includes sent, 'USER-mbp.local'
    assert_includes sent, ' ~/Applications/Vellumdrift.app/Contents/PlugIns/VellumdriftFinderSync.appex'
    refute_includes sent, @home
    refute_includes sent, 'ilvardt'
  end

  def test_invalid_utf8_is_replaced
    paste = keyed
    log = related_with('Finder [412]', "Finder \xff\xc3( [412]".b)
    _, status = upload(write_log(log), 'CRASHWATCHER_PASTE_URL' => paste.url)
    assert_equal 0, status
    sent = paste.requests.first.body.force_encoding(Encoding::UTF_8)
    assert sent.valid_encoding?
    assert_includes sent, "Finder \uFFFD\uFFFD( [412]"
  end

  def test_failed_uploads_print_nothing
    log = write_log(fixture('finder-related.crash'))
    {
      'server error' => server { [500, '{"message":"boom"}'] },
      'no key' => server { [200, '{"message":"ok"}'] },
      'not JSON' => server { [200, '<html>hello</html>'] },
      'a key that is no plain word' => server { [200, JSON.generate('key' => "../x\nBcc: all@example.com")] },
      'an endless answer' => server { [200, JSON.generate('key' => 'ab', 'pad' => 'x' * 200_000)] }
    }.each do |what, paste|
      assert_fails(log, { 'CRASHWATCHER_PASTE_URL' => paste.url }, what)
      assert_equal 1, paste.requests.size, "#{what}: one request, no retry"
    end
  end

  def test_unreachable_services_fail_in_bounded_time
    log = write_log(fixture('finder-related.crash'))
    silent = server { :hang }
    assert_fails(log, { 'CRASHWATCHER_PASTE_URL' => silent.url, 'CRASHWATCHER_PASTE_TIMEOUT' => '1' }, 'no answer')
    refused = TCPServer.new('127.0.0.1', 0)
    port = refused.addr[1]
    refused.close
    assert_fails(log, { 'CRASHWATCHER_PASTE_URL' => "http://127.0.0.1:#{port}" }, 'connection refused')
  end

  def test_the_host_is_reached_over_https
    paste = keyed
    env = { 'CRASHWATCHER_PASTE_HOST' => "127.0.0.1:#{paste.port}", 'CRASHWATCHER_PASTE_TIMEOUT' => '5' }
    assert_fails(write_log(fixture('finder-related.crash')), env, 'TLS to a plain server')
    assert paste.requests.first&.tls, 'the upload began with a TLS handshake'
  end

  def test_what_is_not_uploaded
    paste = keyed
    env = { 'CRASHWATCHER_PASTE_URL' => paste.url }
    huge = fixture('finder-related.crash') + ("Thread 9:\n" + "0   x  \t0x1 y\n" * 700_000)
    assert_fails(write_log(huge), env, 'over 8 MiB')
    assert_fails(File.join(@tmp, 'missing.crash'), env, 'missing')
    assert_fails(write_log('', 'empty.crash'), env, 'empty')
    assert_fails(write_log("my tax return\n", 'private.crash'), env, 'no crash log')
    assert_fails(@tmp, env, 'a folder')
    bad_env = { 'CRASHWATCHER_PASTE_HOST' => 'evil.example/x?' }
    assert_fails(write_log(fixture('finder-related.crash')), bad_env, 'a host that is no host name')
    assert_fails(write_log(fixture('finder-related.crash')), { 'CRASHWATCHER_PASTE_URL' => 'file:///etc' }, 'not HTTP')
    assert_empty paste.requests
  end
end
