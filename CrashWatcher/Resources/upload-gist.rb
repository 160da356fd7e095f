#!/usr/bin/ruby --disable-gems
# frozen_string_literal: true
#
# upload-gist CRASH_LOG
# upload-gist --show CRASH_LOG
# upload-gist --shown SHOWN_FILE CRASH_LOG
#
# Uploads the redacted crash log to the vendor's paste service and prints the
# address under which it can be read: the URL alone, no line break, exit
# status 0. When the upload fails it prints, in place of the address, one line
# that says so and which file the user should attach to the mail instead, the
# home folder written as "~", e.g.
#   (upload failed: connection refused — please attach ~/Library/Logs/CrashReporter/Finder_….crash)
# writes the details to standard error and exits with status 1.
# With --show it prints exactly the text it would upload, and uploads nothing.
# With --shown it uploads the bytes of SHOWN_FILE as they are, in place of
# redacting the crash log again: what --show printed and the user saw is what
# is sent. CRASH_LOG still names the item and the note.
#
# Two paste protocols, chosen by CRASHWATCHER_PASTE_PROTOCOL:
#   bepasty   (the default) bepasty's REST API: POST <base>/apis/rest/items,
#             the text base64-encoded in chunks with Content-Range (a
#             Transaction-ID joins them), its lifetime in Maxlife-Unit/
#             Maxlife-Value; the answer's Content-Location names the item,
#             whose page <base>/<item> is printed. A vendor can let anyone
#             create items while only the vendor reads them, and every item
#             expires.
#   hastebin  POST <base>/documents with the text as the body -> {"key": …};
#             <base>/<key> is printed.
#
# Environment (the agent sets the first three from its build settings
# PASTE_SERVICE_HOST_NAME, PASTE_SERVICE_PROTOCOL and PASTE_EXPIRY_DAYS):
#   CRASHWATCHER_PASTE_HOST         host[:port] of the paste service, always
#                                   reached over HTTPS; default
#                                   paste.vellumdrift.example.
#   CRASHWATCHER_PASTE_PROTOCOL     bepasty or hastebin; default bepasty.
#   CRASHWATCHER_PASTE_EXPIRY_DAYS  days a bepasty item lives, 1 to 3650;
#                                   default 90.
#   CRASHWATCHER_PASTE_URL          the whole base URL (http or https, may
#                                   carry a path); overrides the host. For
#                                   tests and self-hosted services.
#   CRASHWATCHER_PASTE_TIMEOUT      seconds the whole run may take (default
#                                   60, at most 600); connecting may take the
#                                   lesser of this and 15 seconds.
#   CRASHWATCHER_SCRIPT_TIME_LIMIT  set by the agent: seconds after which it
#                                   kills a helper script. The run ends well
#                                   before, so that it still prints its note.
#
# Connection failures and 5xx answers are tried again, at most 4 times in all
# and within the time limit; nothing is sent again once the server has
# accepted it, and a failure after the request went out is final (the server
# may have taken it). What is redacted before the upload is in redaction.rb;
# empty files, files over 8 MiB and files that are no crash log are refused.
# Answers are read to at most 64 KiB of status and header lines and 64 KiB
# of body, and the key or item name must be plain letters, digits, "_" or
# "-", so nothing the server sends can fill the memory or reach the mail
# beyond a well-formed URL.

require_relative 'crashlog'
require_relative 'redaction'

module UploadGist
  DEFAULT_HOST = 'paste.vellumdrift.example'
  PROTOCOLS = %w[bepasty hastebin].freeze
  DEFAULT_EXPIRY_DAYS = 90
  MAX_EXPIRY_DAYS = 3650
  MAX_UPLOAD = 8 * 1024 * 1024
  MAX_ANSWER = 64 * 1024
  # bepasty takes request bodies up to 1 MiB less 8 KiB by default; base64
  # makes 512 KiB of text about 683 KiB.
  CHUNK = 512 * 1024
  DEFAULT_TIMEOUT = 60.0
  MAX_TIMEOUT = 600.0
  MAX_CONNECT_TIMEOUT = 15.0
  RETRY_DELAYS = [1.0, 2.0, 4.0].freeze
  MAX_NOTE_PATH = 1000
  HOST_RE = /\A[A-Za-z0-9](?:[A-Za-z0-9.-]{0,251}[A-Za-z0-9])?(?::\d{1,5})?\z/
  KEY_RE = /\A[A-Za-z0-9_-]{1,100}\z/

  # A failure; +reason+ is the short text of the note.
  class Failure < StandardError
    def initialize(reason, detail = reason)
      super(detail)
      @reason = reason
    end

    attr_reader :reason
  end

  # A failure before the server took anything: worth another try.
  class Transient < Failure; end

  module_function

  # The HTTP client is loaded only for an upload: --show and the failures
  # before it start in a third of the time.
  def load_client
    require 'net/http'
    require 'openssl'
    require 'json'
    require 'uri'
    Net::BufferedIO.prepend(BoundedReading)
  end

  # Net::HTTP caps neither the status line nor the headers: a server sending
  # an endless line, or endless header lines, would fill our memory. Every
  # line of an answer (status, headers, chunk sizes) counts against
  # MAX_ANSWER, and the read buffer never holds more than that; the body is
  # capped where it is read.
  module BoundedReading
    def readuntil(terminator, ignore_eof = false)
      line = super
      @answer_lines = (@answer_lines || 0) + line.bytesize
      raise Failure, 'answer too long' if @answer_lines > MAX_ANSWER

      line
    end

    private

    def rbuf_fill
      super
      # Later versions keep consumed bytes in the buffer and count the rest.
      unread = respond_to?(:rbuf_size, true) ? rbuf_size : @rbuf.bytesize
      raise Failure, 'answer too long' if unread > MAX_ANSWER
    end
  end

  def connect_errors
    @connect_errors ||= {
      Errno::ECONNREFUSED => 'connection refused', Errno::EHOSTUNREACH => 'host unreachable',
      Errno::ENETUNREACH => 'network unreachable', Errno::EADDRNOTAVAIL => 'network unreachable',
      Errno::ECONNRESET => 'connection reset', Errno::ECONNABORTED => 'connection reset',
      Net::OpenTimeout => 'no connection', SocketError => 'host not found', EOFError => 'connection closed'
    }
  end

  def now
    Process.clock_gettime(Process::CLOCK_MONOTONIC)
  end

  def timeout
    value = Float(ENV.fetch('CRASHWATCHER_PASTE_TIMEOUT', ''), exception: false)
    bound = value&.positive? ? [value, MAX_TIMEOUT].min : DEFAULT_TIMEOUT
    agent = Float(ENV.fetch('CRASHWATCHER_SCRIPT_TIME_LIMIT', ''), exception: false)
    return bound unless agent&.positive?

    # Ruby's start before the watchdog, and the note's writing, need time too.
    reserve = [agent * 0.1, 5.0].min + 0.5
    [bound, [agent - reserve, 0.1].max].min
  end

  # A line for the agent's log: nothing the server answered can break it or
  # pose as a line of its own (control characters, invalid UTF-8 and
  # direction overrides escaped, a backslash doubled).
  def tell(message)
    text = message.to_s.b.force_encoding(Encoding::UTF_8)
    escaped = text.each_char.map do |char|
      next char.bytes.map { |byte| format('\\x%02x', byte) }.join unless char.valid_encoding?

      case char
      when '\\' then '\\\\'
      when "\n" then '\\n'
      when "\r" then '\\r'
      when "\t" then '\\t'
      when /[\x00-\x1f\x7f]/ then format('\\x%02x', char.ord)
      when /[\u0080-\u009f\u061c\u200e\u200f\u2028-\u202e\u2066-\u2069]/ then format('\\u{%04x}', char.ord)
      else char
      end
    end
    warn "upload-gist: #{escaped.join}"
  end

  def protocol
    name = ENV.fetch('CRASHWATCHER_PASTE_PROTOCOL', '')
    return 'bepasty' if name.empty?
    raise Failure.new('bad paste configuration', "unknown paste protocol #{name.inspect}") unless PROTOCOLS.include?(name)

    name
  end

  def expiry_days
    days = Integer(ENV.fetch('CRASHWATCHER_PASTE_EXPIRY_DAYS', ''), 10, exception: false)
    days && days.between?(1, MAX_EXPIRY_DAYS) ? days : DEFAULT_EXPIRY_DAYS
  end

  def base_url
    url = ENV.fetch('CRASHWATCHER_PASTE_URL', '')
    return checked_url(url) unless url.empty?

    host = ENV.fetch('CRASHWATCHER_PASTE_HOST', '')
    host = DEFAULT_HOST if host.empty?
    raise Failure.new('bad paste configuration', 'bad paste host') unless host.b.match?(HOST_RE)

    "https://#{host}"
  end

  def checked_url(text)
    uri = URI.parse(text)
    unless %w[http https].include?(uri.scheme&.downcase) && !uri.host.to_s.empty? &&
           uri.userinfo.nil? && uri.query.nil? && uri.fragment.nil?
      raise Failure.new('bad paste configuration', 'bad paste URL')
    end

    text.sub(%r{/+\z}, '')
  rescue URI::InvalidURIError
    raise Failure.new('bad paste configuration', 'bad paste URL')
  end

  # The redacted text of the crash log, as it is uploaded.
  def crash_text(path)
    bytes = CrashLog.read_bytes(path, MAX_UPLOAD + 1)
    raise Failure, 'cannot read the crash log' if bytes.nil?
    raise Failure, 'the crash log is empty' if bytes.empty?
    raise Failure, 'the crash log is too large' if bytes.bytesize > MAX_UPLOAD

    text = CrashLog.to_text(bytes)
    raise Failure, 'not a crash log' unless CrashLog.parse(text)

    CrashLog::Redaction.for_this_machine(path).redact(text)
  end

  # The name the item gets on the server: the file's own, without the host
  # name macOS puts into it, in plain characters.
  def item_name(path)
    base = CrashLog.to_text(path.b).split('/').last.to_s
    base = base.sub(CrashLog::Redaction::FILE_HOST_RE) { |m| m.sub("_#{Regexp.last_match(1)}", '') }
    base = base.gsub(/[^A-Za-z0-9._-]/, '_')
    base = base[-50..] if base.length > 50 # bepasty's limit
    base.empty? ? 'crash.log' : base
  end

  # The note printed in place of the address.
  def note(reason, path)
    shown = CrashLog.to_text(path.b)
    home = ENV.fetch('HOME', '').sub(%r{/+\z}, '')
    shown = "~#{shown[home.length..]}" if home.length > 1 && shown.start_with?("#{home}/")
    shown = CrashLog.printable_line(shown, MAX_NOTE_PATH)
    "(upload failed: #{reason} \u2014 please attach #{shown})"
  end

  # Runs the block again after a transient failure, while attempts and time
  # are left.
  def with_retries(deadline)
    RETRY_DELAYS.each do |delay|
      return yield
    rescue Transient => e
      raise Failure.new(e.reason, e.message) if now + delay >= deadline

      tell "#{e.message}; trying again in #{delay} s"
      sleep delay
    end
    yield
  rescue Transient => e
    raise Failure.new(e.reason, e.message)
  end

  # One request on a connection of its own; gives [response, body]. Failing
  # to connect, and a 5xx answer, are transient.
  def post(uri, headers, body, deadline)
    http = Net::HTTP.new(uri.hostname, uri.port)
    http.use_ssl = uri.scheme.casecmp?('https')
    http.verify_mode = OpenSSL::SSL::VERIFY_PEER
    left = [deadline - now, 0.1].max
    http.open_timeout = [left, MAX_CONNECT_TIMEOUT].min
    http.read_timeout = left
    http.write_timeout = left
    http.max_retries = 0 # a request is never sent twice behind our back
    connect(http)
    begin
      request = Net::HTTP::Post.new(uri.request_uri, headers)
      request.body = body
      answer = String.new(encoding: Encoding::BINARY)
      response = http.request(request) do |r|
        r.read_body do |chunk|
          answer << chunk
          raise Failure, 'answer too long' if answer.bytesize > MAX_ANSWER
        end
      end
      code = response.code.to_i
      raise Transient.new("server error #{code}", "paste service answered #{code}") if code >= 500
      raise Failure.new("server answered #{code}", "paste service answered #{code}: #{answer[0, 200].scrub}") \
        unless response.is_a?(Net::HTTPSuccess)

      [response, answer]
    rescue Net::ReadTimeout, Net::WriteTimeout
      raise Failure, 'timed out'
    rescue SystemCallError, IOError, OpenSSL::SSL::SSLError => e
      raise Failure.new('connection lost', "connection lost: #{e.message}")
    ensure
      http.finish if http.started?
    end
  end

  def connect(http)
    http.start
  rescue OpenSSL::SSL::SSLError => e
    raise Failure.new('secure connection failed', e.message)
  rescue *connect_errors.keys => e
    reason = connect_errors.find { |klass, _| e.is_a?(klass) }.last
    raise Transient.new(reason, "#{reason}: #{e.message}")
  rescue SystemCallError => e
    raise Failure.new('no connection', e.message)
  end

  def upload_hastebin(base, text, deadline)
    headers = { 'Content-Type' => 'text/plain; charset=utf-8', 'Accept' => 'application/json' }
    _, answer = with_retries(deadline) { post(URI.parse("#{base}/documents"), headers, text.b, deadline) }
    document = JSON.parse(answer.force_encoding(Encoding::UTF_8))
    key = document['key'] if document.is_a?(Hash)
    raise Failure.new('unusable answer', 'paste service gave no usable key') unless key.is_a?(String) && key.match?(KEY_RE)

    "#{base}/#{key}"
  rescue JSON::ParserError, EncodingError
    raise Failure.new('unusable answer', 'paste service gave no usable key')
  end

  def upload_bepasty(base, text, name, days, deadline)
    data = text.b
    uri = URI.parse("#{base}/apis/rest/items")
    transaction = nil
    offset = 0
    loop do
      chunk = data.byteslice(offset, CHUNK)
      headers = { 'Content-Type' => 'text/plain', 'Content-Filename' => name, 'Maxlife-Unit' => 'DAYS',
                  'Maxlife-Value' => days.to_s, 'Accept' => 'application/json',
                  'Content-Range' => "bytes #{offset}-#{offset + chunk.bytesize - 1}/#{data.bytesize}" }
      headers['Transaction-ID'] = transaction if transaction
      response, = with_retries(deadline) { post(uri, headers, [chunk].pack('m0'), deadline) }
      offset += chunk.bytesize
      return "#{base}/#{item_of(response['Content-Location'])}" if offset >= data.bytesize

      transaction = response['Transaction-ID'].to_s
      raise Failure.new('unusable answer', 'paste service gave no transaction') unless transaction.match?(%r{\A[A-Za-z0-9+/=]{1,200}\z})
    end
  end

  # "/apis/rest/items/<item>" (or a whole URL ending so) -> "<item>".
  def item_of(location)
    item = location.to_s[%r{/apis/rest/items/([^/?#]+)\z}, 1]
    raise Failure.new('unusable answer', 'paste service gave no item') unless item&.match?(KEY_RE)

    item
  end

  # What --show printed, read back from the file the agent kept it in.
  def shown_text(file)
    bytes = CrashLog.read_bytes(file, MAX_UPLOAD + 1)
    raise Failure, 'cannot read the shown text' if bytes.nil?
    raise Failure, 'the crash log is empty' if bytes.empty?
    raise Failure, 'the crash log is too large' if bytes.bytesize > MAX_UPLOAD

    bytes
  end

  def upload(path, shown = nil)
    load_client
    limit = timeout
    deadline = now + limit
    kind = protocol
    base = base_url
    text = shown ? shown_text(shown) : crash_text(path)
    if kind == 'bepasty'
      upload_bepasty(base, text, item_name(path), expiry_days, deadline)
    else
      upload_hastebin(base, text, deadline)
    end
  end

  def main(args)
    show = args.first == '--show'
    shown = args[1] if args.first == '--shown'
    args = args.drop(shown ? 2 : 1) if show || shown
    unless args.size == 1
      warn 'usage: upload-gist [--show | --shown SHOWN_FILE] CRASH_LOG'
      return 2
    end
    show ? show(args[0]) : upload_and_tell(args[0], shown)
  end

  def show(path)
    write(crash_text(path), 0)
  rescue Failure => e
    tell e.message
    1
  end

  # Net::HTTP bounds each step; the watchdog bounds the whole run, name
  # lookup included, which Ruby cannot interrupt. Whoever comes first writes.
  def upload_and_tell(path, shown = nil)
    lock = Mutex.new
    watchdog = Thread.new do
      sleep timeout
      lock.synchronize do
        warn 'upload-gist: timed out'
        write(note('timed out', path), 1)
        exit!(1)
      end
    end
    text, status =
      begin
        [upload(path, shown), 0]
      rescue Failure => e
        tell e.message
        [note(e.reason, path), 1]
      end
    lock.synchronize do
      watchdog.kill
      write(text, status)
    end
  end

  def write(text, status)
    $stdout.binmode
    $stdout.write(text.b)
    $stdout.flush
    status
  end
end

status =
  begin
    UploadGist.main(ARGV)
  rescue StandardError, NoMemoryError, SystemStackError => e
    UploadGist.tell "#{e.class}: #{e.message}"
    1
  end
exit status
