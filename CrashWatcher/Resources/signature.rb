# frozen_string_literal: true
#
# The signature of a crash: what makes two crashes the same fault, so that the
# agent asks about a fault once however often it happens. One printable line
# of three fields,
#   EXC_BAD_ACCESS (SIGSEGV) | VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:] | 2.1 - 2104
# the exception with its signal (or how the process was terminated); where it
# failed: the top Vellumdrift frame as its image and symbol (without the
# offset into the symbol or a source line), or its image and offset when it
# has no symbol, or the line of the application-specific information that
# names Vellumdrift; and the version of the Vellumdrift image (as the log
# gives it, "unknown version" when it gives none).
#
# Made from what the redaction leaves, and never from what differs between
# two runs of the same fault: no path outside the redaction, no date, no load
# address (offsets are taken from the image's start). Numbers in the
# application-specific line are left out, as are addresses anywhere.

module CrashLog
  class Report
    # The version of the Vellumdrift image that holds the faulting frame, else
    # of the first Vellumdrift image that gives one; nil when none does.
    def vellumdrift_version
      images = vellumdrift_images.select(&:version)
      location = faulting_frame
      (images.find { |image| image.name == location&.image } || images.min_by(&:first))&.version
    end
  end

  module Signature
    FIELD_LIMIT = 300
    SEPARATOR = ' | '
    UNKNOWN_VERSION = 'unknown version'
    ADDRESS_RE = /0x\h{5,}/
    # "+ 112", "+ 112 (VDBadgeProvider.m:42)" after a symbol.
    SYMBOL_OFFSET_RE = / \+ \d+(?: .*)?\z/

    # The signature of the related crash in +text+ (a crash log's whole text),
    # drawn from a report of the text as +redaction+ (see redaction.rb) leaves
    # it; nil when it is no crash log.
    def self.of_text(text, redaction)
      report = CrashLog.parse(redaction.redact(text))
      return of(report) if report

      # Redaction should never spoil a log; if it did, its fields are redacted one by one.
      report = CrashLog.parse(text)
      report && of(report).then { |signature| redaction.redact_free(signature) }
    end

    # The signature of +report+, a related crash.
    def self.of(report)
      location = report.faulting_frame
      place = if location
                location.symbol ? "#{location.image}: #{location.symbol.sub(SYMBOL_OFFSET_RE, '')}" : location.to_s
              elsif (mention = report.app_info_mention)
                "application info: #{mention.strip.gsub(/0x\h+|\d+/, '#')}"
              else
                'Vellumdrift'
              end
      fields = [report.exception_text || 'Crash', place, report.vellumdrift_version || UNKNOWN_VERSION]
      fields.map { |field| bounded(field) }.join(SEPARATOR)
    end

    # One printable line without addresses; a long one is cut and ends in a
    # digest of the whole, so that two long fields still differ.
    def self.bounded(field)
      text = CrashLog.printable_line(field.gsub(ADDRESS_RE, '0x…'), FIELD_LIMIT * 64)
      return text if text.length <= FIELD_LIMIT

      require 'digest'
      "#{text[0, FIELD_LIMIT - 18]}…##{Digest::SHA256.hexdigest(text)[0, 16]}"
    end
  end
end
