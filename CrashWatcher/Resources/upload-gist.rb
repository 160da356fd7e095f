#!/usr/bin/env ruby
# frozen_string_literal: true
#
# upload-gist CRASH_LOG
#
# Uploads the crash log to the vendor's paste service and prints the address
# under which it can be read: the URL alone, no line break. On any failure it
# prints nothing to standard output, writes one line to standard error and
# exits with status 1.
#
# Paste API: the hastebin protocol (haste-server and the servers compatible
# with it):
#   POST <base>/documents with the text as the body  ->  {"key": "<key>"}
#   the upload is then read at <base>/<key>
# It is the simplest paste API that is widely self-hosted: one anonymous
# request and a one-field JSON answer, so no account or token has to ship
# with the agent.
#
# Environment:
#   CRASHWATCHER_PASTE_HOST     host[:port] of the paste service, always
#                               reached over HTTPS (base https://<host>);
#                               default paste.vellumdrift.example. The agent
#                               sets it from its build-fixed host name.
#   CRASHWATCHER_PASTE_URL      the whole base URL (http or https, may carry
#                               a path); overrides the host. For tests and
#                               self-hosted services.
#   CRASHWATCHER_PASTE_TIMEOUT  seconds the whole run may take (default 60,
#                               at most 600); connecting may take the lesser
#                               of this and 15 seconds.
#
# Before the upload the user's home folder is replaced by "~" and the account
# name, as a whole word, by "USER". Empty files, files over 8 MiB and files
# that are no crash log are refused rather than uploaded. Invalid UTF-8 is
# replaced. The server's answer is read to at most 64 KiB and its key must be
# plain letters, digits, "_" or "-", so nothing it sends can reach the mail
# beyond a well-formed URL.

require 'etc'
require 'json'
require 'net/http'
require 'openssl'
require 'uri'
require_relative 'crashlog'

module UploadGist
  DEFAULT_HOST = 'paste.vellumdrift.example'
  MAX_UPLOAD = 8 * 1024 * 1024
  MAX_ANSWER = 64 * 1024
  DEFAULT_TIMEOUT = 60.0
  MAX_TIMEOUT = 600.0
  MAX_CONNECT_TIMEOUT = 15.0
  HOST_RE = /\A[A-Za-z0-9](?:[A-Za-z0-9.-]{0,251}[A-Za-z0-9])?(?::\d{1,5})?\z/
  KEY_RE = /\A[A-Za-z0-9_-]{1,100}\z/

  class Failure < StandardError; end

  module_function

  def main(args)
    raise Failure, 'usage: upload-gist CRASH_LOG' unless args.size == 1

    limit = timeout
    # Net::HTTP bounds each step; this bounds the whole run, name lookup
    # included, which Ruby cannot interrupt.
    watchdog = Thread.new do
      sleep limit
      warn 'upload-gist: timed out'
      exit!(1)
    end
    base = base_url
    text = crash_text(args[0])
    address = "#{base}/#{upload(base, text, limit)}"
    watchdog.kill.join
    address
  end

  def timeout
    value = Float(ENV.fetch('CRASHWATCHER_PASTE_TIMEOUT', ''), exception: false)
    value&.positive? ? [value, MAX_TIMEOUT].min : DEFAULT_TIMEOUT
  end

  def base_url
    url = ENV.fetch('CRASHWATCHER_PASTE_URL', '')
    return checked_url(url) unless url.empty?

    host = ENV.fetch('CRASHWATCHER_PASTE_HOST', '')
    host = DEFAULT_HOST if host.empty?
    raise Failure, 'bad paste host' unless host.b.match?(HOST_RE)

    "https://#{host}"
  end

  def checked_url(text)
    uri = URI.parse(text)
    unless %w[http https].include?(uri.scheme&.downcase) && !uri.host.to_s.empty? &&
           uri.userinfo.nil? && uri.query.nil? && uri.fragment.nil?
      raise Failure, 'bad paste URL'
    end

    text.sub(%r{/+\z}, '')
  rescue URI::InvalidURIError
    raise Failure, 'bad paste URL'
  end

  def crash_text(path)
    bytes = CrashLog.read_bytes(path, MAX_UPLOAD + 1)
    raise Failure, 'cannot read the crash log' if bytes.nil?
    raise Failure, 'crash log is empty' if bytes.empty?
    raise Failure, 'crash log is too large' if bytes.bytesize > MAX_UPLOAD

    text = CrashLog.to_text(redact(bytes))
    raise Failure, 'not a crash log' unless CrashLog::Report.new(text).crash_log?

    text
  end

  # Works on bytes, so that a home path or name that is not valid UTF-8
  # still matches itself.
  def redact(bytes)
    text = bytes.b
    homes.each { |home| text = text.gsub(bounded(home, 'A-Za-z0-9_.\-'), '~') }
    names.each { |name| text = text.gsub(bounded(name, 'A-Za-z0-9_'), 'USER') }
    text
  end

  def homes
    account = Etc.getpwuid(Process.uid)
    found = [ENV.fetch('HOME', nil), account&.dir].compact.flat_map do |home|
      [home, (File.realpath(home) rescue nil)]
    end
    found.compact.map { |home| home.b.sub(%r{/+\z}n, '') }.reject { |home| home.length < 2 }
         .uniq.sort_by { |home| -home.length }
  end

  def names
    account = Etc.getpwuid(Process.uid)
    [ENV.fetch('USER', nil), ENV.fetch('LOGNAME', nil), account&.name].compact.map(&:b)
                                                                      .reject(&:empty?).uniq
  end

  # The literal, not inside a longer run of the given characters.
  def bounded(literal, run)
    Regexp.new("(?<![#{run}])".b + Regexp.escape(literal) + "(?![#{run}])".b, Regexp::NOENCODING)
  end

  def upload(base, text, limit)
    uri = URI.parse("#{base}/documents")
    http = Net::HTTP.new(uri.hostname, uri.port)
    http.use_ssl = uri.scheme.casecmp?('https')
    http.verify_mode = OpenSSL::SSL::VERIFY_PEER
    http.open_timeout = [limit, MAX_CONNECT_TIMEOUT].min
    http.read_timeout = limit
    http.write_timeout = limit
    http.max_retries = 0 # an upload is not to be made twice
    request = Net::HTTP::Post.new(uri.request_uri, 'Content-Type' => 'text/plain; charset=utf-8',
                                                   'Accept' => 'application/json')
    request.body = text.b
    answer = String.new(encoding: Encoding::BINARY)
    http.start do
      http.request(request) do |response|
        raise Failure, "paste service answered #{response.code.to_i}" unless response.is_a?(Net::HTTPSuccess)

        response.read_body do |chunk|
          answer << chunk
          raise Failure, 'paste service answer too long' if answer.bytesize > MAX_ANSWER
        end
      end
    end
    key_of(answer)
  end

  def key_of(answer)
    document = JSON.parse(answer.force_encoding(Encoding::UTF_8))
    key = document['key'] if document.is_a?(Hash)
    raise Failure, 'paste service gave no usable key' unless key.is_a?(String) && key.match?(KEY_RE)

    key
  rescue JSON::ParserError, EncodingError
    raise Failure, 'paste service gave no usable key'
  end
end

begin
  address = UploadGist.main(ARGV)
  $stdout.binmode
  $stdout.write(address.b)
  $stdout.flush
rescue UploadGist::Failure => e
  warn "upload-gist: #{e.message}"
  exit 1
rescue StandardError, NoMemoryError, SystemStackError => e
  warn "upload-gist: #{e.class}: #{e.message}".scrub
  exit 1
end
