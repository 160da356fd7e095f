# frozen_string_literal: true
#
# What leaves the machine: the redaction applied to a crash log before
# upload-gist sends it (and to the summary extract-crash-info gives). The
# README's table "What leaves the machine" is the policy in prose; keep both
# alike.
#
# Removed:
#   - stable identifiers of the machine and the person, by their key:
#     "Anonymous UUID", "Sleep/Wake UUID", "User ID", "Host Name", serial
#     numbers, hardware UUIDs and, in the JSON report, "crashReporterKey",
#     "sleepWakeUUID", "bootSessionUUID", "userID" and the like;
#   - home folders: the user's own becomes "~", every other account's
#     "/Users/<x>" and "/home/<x>" becomes "/Users/USER", "/home/USER";
#   - the user's account and full name ("USER") and host names ("HOST"; the
#     machine's own, the one in the file name, any "<name>.local"), e-mail,
#     MAC and IP addresses, in free text only.
# Kept: incident identifiers, versions, frames, images (with their UUIDs) and
# the exception. Names are replaced only where they stand alone as a word or a
# path component: never in backtrace frames or binary-image lines, never in a
# symbol or a bundle identifier (an account "apple" leaves
# com.apple.main-thread alone, an account "finder" com.apple.finder).

require 'etc'
require 'socket'

module CrashLog
  class Redaction
    REMOVED = '[redacted]'
    USER = 'USER'
    HOST = 'HOST'

    # Keys whose value is an identifier of the machine or the person, compared
    # in lower case without blanks or punctuation ("Sleep/Wake UUID" and
    # "sleepWakeUUID" alike).
    IDENTIFIER_KEYS = %w[anonymousuuid sleepwakeuuid bootsessionuuid hardwareuuid serialnumber systemserialnumber
                         hostname computername localhostname userid crashreporterkey provisioningudid udid
                         deviceidentifier deviceidentifierforvendor machineid machineuuid platformuuid].freeze
    # Keys whose value is a symbol, a bundle identifier, a version or the like:
    # only paths are redacted there.
    SYMBOLIC_KEYS = %w[symbol name identifier cfbundleidentifier bundleid procname parentproc parentprocess
                       responsibleproc responsible codesigningid codesigningteamid queue uuid sliceuuid appname
                       coalitionname cfbundleshortversionstring cfbundleversion appversion buildversion osversion
                       version buildinfo codetype reportversion train build releasetype arch source cputype
                       modelcode platform incident incidentid incidentidentifier bugtype translated procrole
                       process command path procpath].freeze

    MIN_NAME = 3
    FILE_HOST_RE = /_\d{4}-\d\d-\d\d-\d{6}_([^\/]{1,253}?)\.[A-Za-z]{1,8}\z/
    HEADER_RE = %r{\A([A-Z][A-Za-z /]{0,40}):([ \t]*)(.*)\z}
    FRAME_LINE_RE = /\A\s*\d{1,9}\s+\S.{0,4096}?\s0x\h{1,16}(?:\s|\z)/
    IMAGE_LINE_RE = /\A\s*0x\h{1,16}\s*-\s*0x\h{1,16}\s/
    OTHER_HOMES_RE = %r{(?<![A-Za-z0-9_.-])(/(?:Users|home)/)(?!(?:Shared|USER)(?:/|\z))(?:[^/\n\t"<>:;]{1,64}(?=/)|
                        [^/\s"'<>()\[\]:;,]{1,64})}x
    EMAIL_RE = /[A-Za-z0-9._%+-]{1,64}@(?!\d{1,2}x\.)[A-Za-z0-9-]{1,63}(?:\.[A-Za-z0-9-]{1,63}){0,8}\.[A-Za-z]{2,24}\b/
    MAC_RE = /(?<![\w:.-])\h\h([:-])\h\h(?:\1\h\h){4}(?![\w:.-])/
    OCTET = '(?:25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)'
    IPV4_RE = /(?<![\w.(])#{OCTET}(?:\.#{OCTET}){3}(?![\w.])/
    # Compressed ("fe80::1") or full; two groups at least, so that "Thread 1::" is none.
    IPV6_RE = /(?<![\w:.])(?=[\h:]{0,39}::|(?:\h{1,4}:){7}\h)(?=:*\h{1,4}:+\h)(?:\h{0,4}:){2,7}\h{0,4}(?![\w:.])/
    LOCAL_HOST_RE = /(?<![\w.-])[A-Za-z0-9][A-Za-z0-9-]{0,62}\.local\b/
    JSON_TAIL_RE = /^\{(?:"(?:app_name|bug_type|timestamp)"|[ \t]*\r?$)/
    # A JSON token: a key with the scalar after it, a string, or a bracket.
    JSON_TOKEN_RE = /("(?:[^"\\]|\\.)*+")(?:(\s*+:)(\s*+(?:-?\d[\d.eE+-]*|true|false|null))?)?|[{}\[\]]/

    # The redaction for this account and machine; +crash_path+ lends the host
    # name macOS writes into a crash log's file name.
    def self.for_this_machine(crash_path = nil)
      account = Etc.getpwuid(Process.uid)
      homes = [ENV.fetch('HOME', nil), account&.dir].compact.flat_map { |home| [home, (File.realpath(home) rescue nil)] }
      # The superuser's name and full name stand for no person ("sync root").
      person = account unless account.nil? || account.uid.zero?
      names = [ENV.fetch('USER', nil), ENV.fetch('LOGNAME', nil), person&.name].reject { |name| name == 'root' }
      full_name = person&.gecos.to_s.scrub.split(',').first
      hosts = [Socket.gethostname, crash_path && to_text(crash_path.b)[FILE_HOST_RE, 1]]
      new(homes: homes, names: names + [full_name], hosts: hosts)
    rescue SystemCallError, ArgumentError
      new(homes: [ENV.fetch('HOME', nil)], names: [ENV.fetch('USER', nil)], hosts: [])
    end

    def self.to_text(bytes)
      bytes.dup.force_encoding(Encoding::UTF_8).scrub("\uFFFD")
    end

    def initialize(homes:, names:, hosts:)
      @homes = homes.compact.map { |home| Redaction.to_text(home.b).sub(%r{/+\z}, '') }
                    .reject { |home| home.length < 2 }.uniq.sort_by { |home| -home.length }
      @names = words(names)
      @hosts = words(hosts.compact.flat_map { |host| [host, host.split('.').first] }).reject { |h| h == 'localhost' }
      @homes_re = union(@homes) { |home| "#{Regexp.escape(home)}(?![A-Za-z0-9_.-])" }
    end

    # The text of a crash log, either format, as it may be uploaded.
    def redact(text)
      @hosts |= words([text[0, 65_536][/^Host Name:[ \t]*([^\r\n]{1,253})/, 1]])
      @names_re = nil
      head, rest = text.split("\n", 2)
      if head&.lstrip&.start_with?('{') && rest && !rest.lstrip.start_with?('{') && !rest.strip.empty?
        # An older .ips: the metadata line, then a text report.
        "#{redact_json(head)}\n#{redact_text(rest)}"
      elsif text.lstrip.start_with?('{')
        redact_json(text)
      else
        redact_text(text)
      end
    end

    # Free text: everything personal goes.
    def redact_free(text)
      text = redact_paths(text)
      text = text.gsub(EMAIL_RE, REMOVED).gsub(MAC_RE, REMOVED).gsub(IPV6_RE, REMOVED).gsub(IPV4_RE, REMOVED)
      text = text.gsub(LOCAL_HOST_RE, "#{HOST}.local")
      names_re ? text.gsub(names_re) { Regexp.last_match(1) ? HOST : USER } : text
    end

    # Symbols, identifiers, versions: only the paths in them.
    def redact_paths(text)
      text = text.gsub(@homes_re, '~') if @homes_re
      text.gsub(OTHER_HOMES_RE) { "#{Regexp.last_match(1)}#{USER}" }
    end

    private

    def words(list)
      list.compact.map { |word| Redaction.to_text(word.b).strip }.select { |word| word.length >= MIN_NAME }.uniq
    end

    def union(list)
      list.empty? ? nil : Regexp.new(list.map { |item| yield item }.join('|'))
    end

    # A name as a word of its own: not inside a longer word, a bundle
    # identifier ("com.apple.x", "apple.finder"), a C++ scope or a call.
    def names_re
      return nil if @names.empty? && @hosts.empty?

      @names_re ||= begin
        hosts = @hosts.map { |host| "(?i:#{Regexp.escape(host)})" }
        names = @names.map { |name| Regexp.escape(name) }
        pattern = [("(#{hosts.join('|')})" unless hosts.empty?), *names].compact.join('|')
        /(?<![\p{Alnum}_.+$@\\-])(?:#{pattern})(?![\p{Alnum}_]|\.\p{Alnum}|::|\()/
      end
    end

    def key_kind(key)
      normal = key.downcase.delete('^a-z0-9')
      return :identifier if IDENTIFIER_KEYS.include?(normal)

      SYMBOLIC_KEYS.include?(normal) ? :symbolic : :free
    end

    # A report copied from macOS 12's crash dialog holds the text report,
    # then "Full Report" and the JSON report: that tail is redacted as JSON.
    def redact_text(text)
      tail = text.index(JSON_TAIL_RE)
      return redact_json(text) if tail&.zero?

      head = tail ? text[0, tail] : text
      redacted = head.each_line.map { |line| redact_line(line) }.join
      tail ? redacted + redact_json(text[tail..]) : redacted
    end

    def redact_line(line)
      body = line.chomp
      ending = line[body.length..]
      return line if body.strip.empty?
      return redact_paths(body) + ending if body.length > 65_536 || body.match?(FRAME_LINE_RE) ||
                                            body.match?(IMAGE_LINE_RE)

      match = HEADER_RE.match(body)
      return redact_free(body) + ending unless match

      value = case key_kind(match[1])
              when :identifier then match[3].empty? ? '' : REMOVED
              when :symbolic then redact_paths(match[3])
              else redact_free(match[3])
              end
      "#{match[1]}:#{match[2]}#{value}#{ending}"
    end

    # Works token by token so that the document's layout stays as it was;
    # only string values change, and identifiers become the string "[redacted]".
    def redact_json(text)
      require 'json'
      keys = [] # the current key of each open object, nil for an array
      text.gsub(JSON_TOKEN_RE) do |token|
        string, colon, scalar = Regexp.last_match.captures
        if colon
          keys[-1] = json_string(string) unless keys.empty?
          kind = key_kind(keys.last.to_s)
          scalar && kind == :identifier ? "#{string}#{colon} \"#{REMOVED}\"" : token
        elsif string
          redact_json_string(string, keys.reverse.find { |key| key })
        else
          token == '{' ? keys.push('') : (token == '[' ? keys.push(nil) : keys.pop)
          token
        end
      end
    end

    def redact_json_string(token, key)
      kind = key_kind(key.to_s)
      return "\"#{REMOVED}\"" if kind == :identifier

      value = json_string(token)
      return token if value.nil?

      redacted = kind == :symbolic ? redact_paths(value) : redact_free(value)
      return token if redacted == value

      encoded = JSON.generate(redacted)
      token.include?('\\/') ? encoded.gsub('/', '\\/') : encoded
    end

    def json_string(token)
      token.include?('\\') ? JSON.parse("[#{token}]").first : token[1..-2]
    rescue JSON::ParserError, EncodingError
      nil
    end
  end
end
