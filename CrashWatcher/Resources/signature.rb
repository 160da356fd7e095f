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

require 'digest'

module CrashLog
  module Signature
    FIELD_LIMIT = 300
    SEPARATOR = ' | '
    UNKNOWN_VERSION = 'unknown version'
    ADDRESS_RE = /0x\h{5,}/
    # "+ 112", "+ 112 (VDBadgeProvider.m:42)" after a symbol.
    SYMBOL_OFFSET_RE = /\s+\+\s+\d+(?:\s+\([^()]*\))?\z/

    # The signature of +report+ (see crashlog.rb), a related crash, with
    # +redaction+ (see redaction.rb) applied to every field.
    def self.of(report, redaction)
      frame = report.top_vellumdrift_frame
      place = if frame
                without_symbol_offset(redaction.redact_paths(frame))
              elsif (mention = report.app_info_mention)
                "application info: #{redaction.redact_free(mention.strip).gsub(/0x\h+|\d+/, '#')}"
              else
                'Vellumdrift'
              end
      exception = redaction.redact_free(report.exception_text || 'Crash')
      [exception, place, version(report, frame) || UNKNOWN_VERSION].map { |field| bounded(field) }.join(SEPARATOR)
    end

    # "Image: symbol + 112" gives "Image: symbol"; "Image + 24177", an offset
    # into the image, stays as it is.
    def self.without_symbol_offset(frame)
      image, symbol = frame.split(': ', 2)
      symbol ? "#{image}: #{symbol.sub(SYMBOL_OFFSET_RE, '')}" : frame
    end

    # The version of the Vellumdrift image the frame lies in, else of the
    # first Vellumdrift image that gives one.
    def self.version(report, frame)
      images = report.images.select { |image| image.vellumdrift? && image.version }
      own = images.find { |image| frame&.start_with?("#{image.name}:", "#{image.name} +") }
      (own || images.first)&.version
    end

    # One printable line without addresses; a long one is cut and ends in a
    # digest of the whole, so that two long fields still differ.
    def self.bounded(field)
      text = CrashLog.printable_line(field.gsub(ADDRESS_RE, '0x…'), FIELD_LIMIT * 64)
      return text if text.length <= FIELD_LIMIT

      "#{text[0, FIELD_LIMIT - 18]}…##{Digest::SHA256.hexdigest(text)[0, 16]}"
    end
  end
end
