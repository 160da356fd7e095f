# frozen_string_literal: true
#
# What leaves the machine: the redaction applied to a crash log before
# upload-gist sends it (extract-crash-info draws its summary from the
# redacted text). The README's table "What leaves the machine" is the policy
# in prose; keep both alike.
#
# Removed, by token class wherever it stands in free text (with any
# punctuation around it):
#   - IPv4, IPv6 (also with an embedded IPv4 part or a zone) and MAC
#     addresses (colon, dash and dotted forms);
#   - e-mail addresses, also with letters outside ASCII, percent-encoded
#     ("carol%40example.com"), with a domain of one label or of digits;
#   - the machine's host names under any domain ("HOST"; the machine's own,
#     the one in the crash log's file name, "Host Name:" and "Computer Name:"),
#     and any machine under a domain of the local network ("HOST.local",
#     "HOST.lan", "HOST.fritz.box");
#   - the user's account and full name ("USER"), where they stand alone as a
#     word and are no symbol;
#   - home folders under every root: the user's own becomes "~", every
#     "/Users/<x>" and "/home/<x>" component "/Users/USER", "/home/USER"
#     (also below /Volumes/<disk>, /System/Volumes/Data and Time Machine's
#     Backups.backupdb, whose machine folder becomes "HOST");
# and by key (text headers, JSON keys, "Serial Number C02…" within a line):
# serial numbers, UIDs, device identifiers, the machine's and the report's
# UUIDs and keys.
#
# Kept: incident identifiers, dates, versions, the exception, frames and
# symbols, binary images with their UUIDs. Names are never replaced inside a
# backtrace frame (a frame line, "0x… symbol + offset" within a text, a JSON
# frame), a binary-image line, a thread heading, an Objective-C method, a
# symbol with its offset, a bundle identifier or a C++ scope: only paths are
# redacted there.
#
# Every pattern is anchored or bounded, so that the work is linear in the
# size of the log.

require 'etc'
require 'socket'

module CrashLog
  class Redaction
    REMOVED = '[redacted]'
    USER = 'USER'
    HOST = 'HOST'

    # Keys whose value is an identifier of the machine or the person, compared
    # in lower case without blanks or punctuation ("Sleep/Wake UUID" and
    # "sleepWakeUUID" alike). Any key ending in "serial", "serialnumber",
    # "uid" (not "uuid") or "deviceid" is one too.
    IDENTIFIER_KEYS = %w[anonymousuuid sleepwakeuuid bootsessionuuid hardwareuuid hostname computername localhostname
                         userid crashreporterkey provisioningudid udid ecid imei meid deviceidentifier
                         deviceidentifierforvendor machineid machineuuid platformuuid username fullname
                         accountname].freeze
    IDENTIFIER_KEY_RE = /(?:serial(?:number|no|num)?|[^u]uid|\Auid|deviceid)\z/
    # Keys whose value is a symbol, a bundle identifier, a version or the like:
    # only paths are redacted there.
    SYMBOLIC_KEYS = %w[symbol name identifier cfbundleidentifier bundleid procname parentproc parentprocess
                       responsibleproc responsible codesigningid codesigningteamid queue uuid sliceuuid appname
                       coalitionname cfbundleshortversionstring cfbundleversion appversion buildversion osversion
                       version buildinfo codetype reportversion train build releasetype arch source cputype
                       modelcode platform incident incidentid incidentidentifier bugtype translated procrole
                       process command path procpath sourcefile instructionbytestream beforepc atpc
                       logwritingsignature terminatingprocess responsibleprocess byproc crashedthread
                       triggeredbythread].freeze

    MIN_NAME = 3
    FILE_HOST_RE = /_\d{4}-\d\d-\d\d-\d{6}_([^\/]{1,253}?)\.[A-Za-z]{1,8}\z/
    HEADER_RE = %r{\A([A-Z][A-Za-z /]{0,40}):([ \t]*)(.*)\z}
    FRAME_LINE_RE = /\A\s*\d{1,9}\s+\S.{0,4096}?\s0x\h{1,16}(?:\s|\z)/
    IMAGE_LINE_RE = /\A\s*0x\h{1,16}\s*-\s*0x\h{1,16}\s/
    THREAD_LINE_RE = /\AThread \d{1,9}\b/
    HOST_KEY_RE = /^(?:Host Name|Computer Name):[ \t]*([^\r\n]{1,253})/

    # Spans of free text that are symbols, not words: a frame line, an
    # address with the symbol and offset after it, an Objective-C method.
    # One group around the whole, for String#split.
    SYMBOLS_RE = /(
      ^[ \t]*\d{1,9}[ \t]+\S[^\n]{0,4096}?[ \t]0x\h{1,16}(?:[ \t][^\n]*)?$ |
      0x\h{1,16}[ \t]+\S++(?:[ \t]+\S++){0,8}?[ \t]\+[ \t]\d{1,20} |
      [-+]\[[^\[\]\s]{1,256}[ ][^\[\]\n]{1,1024}\]
    )/x

    # Every root that holds a Users/<x> or home/<x> component.
    OTHER_HOMES_RE = %r{(/(?:Users|home)/)(?!(?:Shared|USER)(?:/|\z|[\s"'<>()\[\]:;,]))
                        (?:[^/\n\t"<>:;]{1,64}(?=/)|[^/\s"'<>()\[\]:;,]{1,64})}x
    BACKUP_HOST_RE = %r{(Backups\.backupdb/)[^/\n]{1,255}(?=/)}

    LETTER = '[\p{L}\p{M}\p{N}]'
    LABEL = "(?:#{LETTER}|%\\h\\h)(?:[\\p{L}\\p{M}\\p{N}-]|%\\h\\h){0,62}"
    # Local part, "@" or "%40", then a domain of one or more labels or an
    # address literal; not an image's scale ("Icon@2x.png").
    EMAIL_RE = /(?<![\p{L}\p{M}\p{N}._%+-])[\p{L}\p{M}\p{N}._%+-]{1,64}(?:@|%40)(?!\d{1,2}x(?![\p{L}\p{N}]))
                (?:\[[\h:.]{2,45}\]|#{LABEL}(?:\.#{LABEL}){0,8})/x
    MAC_RE = /(?<![\w:.-])(?:\h{1,2}([:-])\h{1,2}(?:\1\h{1,2}){4}|(?=[\h.]{0,14}[a-fA-F])\h{4}\.\h{4}\.\h{4})(?![\w:-]|\.\w)/
    OCTET = '(?:25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)'
    IPV4 = "#{OCTET}(?:\\.#{OCTET}){3}"
    IPV4_RE = /(?<![\w.])#{IPV4}(?!\w|\.\d)/
    # Full, compressed ("fe80::1", "::1") or with an IPv4 tail
    # ("::ffff:192.0.2.1"), and a zone; a digit somewhere, so that a C++
    # scope of hex-like words ("dead::beef") is none.
    IPV6_RE = /(?<![\w:.])(?=[\h:.]{0,45}\d)
               (?:(?:\h{1,4}:){7}\h{1,4}|(?:\h{1,4}:){6}#{IPV4}|
                  (?:\h{1,4}(?::\h{1,4}){0,6})?::(?:(?:\h{1,4}:){0,5}#{IPV4}|\h{1,4}(?::\h{1,4}){0,6}))
               (?:%[\w.]{1,32})?(?![\w:]|\.\h)/x
    # Domains that name machines of a home or office network only; in lower
    # case, as they are written ("Vellumdrift.Internal" is a type).
    LOCAL_DOMAIN = '\\.(?:local|lan|home|home\\.arpa|internal|localdomain|intranet|fritz\\.box|speedport\\.ip)'
    LOCAL_HOST_RE = /(?<![\w.-])[A-Za-z0-9][A-Za-z0-9-]{0,62}(#{LOCAL_DOMAIN})(?![\w-]|\.\w)/
    # An identifier named within a line: "Serial Number C02…", "UID: 2050052406".
    INLINE_ID_RE = %r{\b((?:hardware\ )?serial(?:[ _-]?(?:number|no\.?|num))?|S/N|UID|user[ _]?ID|device[ _]?ID|UDID|
                     ECID|(?:hardware|anonymous|sleep/wake|boot[ _]session)[ _]UUID|crash[ _]?reporter[ _]key)
                     (\s{0,4}[:=\#]?\s{0,4})(?=[A-Za-z-]{0,63}\d)[A-Za-z0-9][A-Za-z0-9-]{2,63}\b}xi
    # Every identifier INLINE_ID_RE finds is followed by a digit soon after.
    INLINE_ID_GATE_RE = /\d/
    # Labels after a host name that make it a file, not a domain.
    FILE_TYPES = %w[app appex bundle framework dylib plugin kext xpc crash ips log txt plist].freeze
    JSON_TAIL_RE = /^\{(?:"(?:app_name|bug_type|timestamp)"|[ \t]*\r?$)/
    # A JSON token: a key with the scalar after it, a string (one not closed
    # before the line ends too), or a bracket.
    JSON_TOKEN_RE = /("(?:[^"\\\n]|\\.)*+)(?:(")(?:(\s*+:)(\s*+(?:-?\d[\d.eE+-]*|true|false|null))?)?)?|[{}\[\]]/

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
      @hosts = hosts_of(hosts)
      @homes_re = union(@homes) { |home| "(?<![\\p{Alnum}_.~-])#{Regexp.escape(home)}(?![A-Za-z0-9_.-])" }
      @kinds = {}
      @key_names = {}
    end

    # The text of a crash log, either format, as it may be uploaded.
    def redact(text)
      @hosts |= hosts_of(text[0, 65_536].scan(HOST_KEY_RE).flatten)
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

    # Free text: everything personal goes; symbols in it keep their names.
    def redact_free(text)
      return redact_words(redact_paths(text)) unless text.include?('0x') || text.include?('[')

      parts = text.split(SYMBOLS_RE, -1)
      return redact_words(redact_paths(text)) if parts.size == 1

      parts.each_with_index.map { |part, i| i.odd? ? redact_paths(part) : redact_words(redact_paths(part)) }.join
    end

    # Symbols, identifiers, versions: only the paths in them.
    def redact_paths(text)
      return text unless text.include?('/')

      text = text.gsub(@homes_re, '~') if @homes_re
      text = text.gsub(BACKUP_HOST_RE) { "#{Regexp.last_match(1)}#{HOST}" } if text.include?('Backups.backupdb/')
      text.gsub(OTHER_HOMES_RE) { "#{Regexp.last_match(1)}#{USER}" }
    end

    private

    def redact_words(text)
      text = text.gsub(EMAIL_RE, REMOVED) if text.include?('@') || text.include?('%40')
      if text.match?(/[:.-]/)
        text = text.gsub(MAC_RE, REMOVED).gsub(IPV6_RE, REMOVED).gsub(IPV4_RE, REMOVED)
        text = text.gsub(LOCAL_HOST_RE) { "#{HOST}#{Regexp.last_match(1)}" }
      end
      if text.match?(INLINE_ID_GATE_RE)
        text = text.gsub(INLINE_ID_RE) { "#{Regexp.last_match(1)}#{Regexp.last_match(2)}#{REMOVED}" }
      end
      return text unless names_re

      text.gsub(names_re) do
        host, domain = Regexp.last_match.captures
        next USER unless host

        domain.match?(/\A#{LOCAL_DOMAIN}\z/o) ? "#{HOST}#{domain}" : HOST
      end
    end

    def words(list)
      list.compact.map { |word| Redaction.to_text(word.b).strip }.select { |word| word.length >= MIN_NAME }.uniq
    end

    # A host name, and its first label when it is a whole domain name.
    def hosts_of(list)
      words(list.compact.flat_map { |host| [host, host.split('.').first] }).reject { |h| h.casecmp?('localhost') }
    end

    def union(list)
      list.empty? ? nil : Regexp.new(list.map { |item| yield item }.join('|'))
    end

    # A name as a word of its own: not inside a longer word, a bundle
    # identifier ("com.apple.x", "apple.finder"), a C++ scope, a call or a
    # symbol with its offset ("start + 2544"). A host name takes the domain
    # after it along ("alices-mbp.fritz.box").
    def names_re
      return nil if @names.empty? && @hosts.empty?

      @names_re ||= begin
        hosts = @hosts.sort_by { |host| -host.length }.map { |host| "(?i:#{Regexp.escape(host)})" }
        names = @names.sort_by { |name| -name.length }.map { |name| Regexp.escape(name) }
        domain = "((?:\\.(?!(?:#{FILE_TYPES.join('|')})(?![\\w-]))[A-Za-z0-9-]{1,63}){0,8})"
        pattern = [("(#{hosts.join('|')})#{domain}" unless hosts.empty?), *names].compact.join('|')
        /(?<![\p{Alnum}_.+$@\\-])(?:#{pattern})(?![\p{Alnum}_]|\.\p{Alnum}|::|\(|[ \t]\+[ \t]\d)/
      end
    end

    def key_kind(key)
      @kinds[key] ||= begin
        normal = key.downcase.delete('^a-z0-9')
        if IDENTIFIER_KEYS.include?(normal) || normal.match?(IDENTIFIER_KEY_RE) then :identifier
        elsif SYMBOLIC_KEYS.include?(normal) then :symbolic
        else :free
        end
      end
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
      return redact_paths(body) + ending if symbol_line?(body)

      match = HEADER_RE.match(body)
      return redact_free(body) + ending unless match

      value = case key_kind(match[1])
              when :identifier then match[3].empty? ? '' : REMOVED
              when :symbolic then redact_paths(match[3])
              else redact_free(match[3])
              end
      "#{match[1]}:#{match[2]}#{value}#{ending}"
    end

    # Frame and binary-image lines and thread headings hold symbols and names
    # of code, never of a person.
    def symbol_line?(body)
      first = body.lstrip.getbyte(0)
      if first && first >= 48 && first <= 57 then body.match?(FRAME_LINE_RE) || body.match?(IMAGE_LINE_RE)
      else body.start_with?('Thread ') && body.match?(THREAD_LINE_RE)
      end
    end

    # Works token by token so that the document's layout stays as it was;
    # only string values change, and identifiers become the string "[redacted]".
    # +keys+ holds the key that governs each open level (an array inherits
    # its parent's), +objects+ whether the level is an object.
    def redact_json(text)
      require 'json'
      keys = []
      objects = []
      text.gsub(JSON_TOKEN_RE) do |token|
        open, close, colon, scalar = Regexp.last_match.captures
        if colon
          keys[-1] = (@key_names[open] ||= json_string("#{open}\"").to_s) if objects.last
          identifier = scalar && key_kind(keys.last.to_s) == :identifier && !scalar.strip.match?(/\A(?:true|false|null)\z/)
          identifier ? "#{open}\"#{colon} \"#{REMOVED}\"" : token
        elsif open
          close ? redact_json_string(token, keys.last) : redact_open_string(open, key_kind(keys.last.to_s))
        else
          opened = '{['.include?(token)
          keys.push(token == '{' ? '' : keys.last) if opened
          objects.push(token == '{') if opened
          keys.pop unless opened
          objects.pop unless opened
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

    # A string that the document's end (or the line's) cuts off: redacted as
    # it stands, its escaped slashes read as slashes.
    def redact_open_string(token, kind)
      return "\"#{REMOVED}" if kind == :identifier && token.length > 1

      value = token[1..].gsub('\\/', '/')
      redacted = kind == :symbolic ? redact_paths(value) : redact_free(value)
      return token if redacted == value

      "\"#{token.include?('\\/') ? redacted.gsub('/', '\\/') : redacted}"
    end

    def json_string(token)
      token.include?('\\') ? JSON.parse("[#{token}]").first : token[1..-2]
    rescue JSON::ParserError, EncodingError
      nil
    end
  end
end
