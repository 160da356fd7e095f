# frozen_string_literal: true
#
# Reading of macOS crash reports, shared by the helper scripts
# related-crash-report, upload-gist and extract-crash-info. One model for
# every format macOS has written, whatever the file is called:
#   - the classic text report, Mac OS X 10.4 to macOS 15 ("Command:" or
#     "Process:" headers, "Thread N Crashed:" with or without a dispatch queue,
#     "Last Exception Backtrace:", "Application Specific Information:" and
#     "Application Specific Backtrace N:", "Binary Images:"); a 10.4 log that
#     holds several reports, each after a line of asterisks, is read for its
#     last (newest) one;
#   - the JSON report of macOS 12 and later (".ips": one line of JSON metadata,
#     then one JSON document; also the document alone), and the older ".ips"
#     whose metadata line is followed by a text report.
#
# Nothing read from a crash log is ever evaluated: text is only matched
# against fixed, anchored patterns and JSON is parsed as plain data; every
# read is bounded so that a huge, truncated or binary file cannot stall a
# script or exhaust its memory.
#
# The Vellumdrift module. A binary image belongs to Vellumdrift when its
# bundle identifier, its name or its path contains "vellumdrift" in any letter
# case (Vellumdrift, VellumdriftFinderSync, com.vellumdrift.*, anything loaded
# from inside Vellumdrift.app). A backtrace frame lies in the Vellumdrift
# module when its image is named so, or when its address lies inside a
# Vellumdrift image's range: that places frames whose image column is "???",
# truncated (10.6 cuts it at 30 characters) or unsymbolicated. Being listed
# under the binary images alone means nothing: Vellumdrift is loaded into
# Finder whenever it is installed.

#
# The faulting code. The summary (and whatever else names where a crash
# happened) takes the frame from Report#faulting_frame: the topmost
# Vellumdrift frame below the machinery that runs after a fault (signal
# trampolines and handlers, abort, assertions, exception throwing and
# unwinding of the language runtimes) and that is no linker placeholder.
#
# Every step is linear in the size of the log: sections are skipped with one
# anchored pattern, frames are read only for the backtraces that matter (and
# at most MAX_FRAMES of each), images are found by address through a sorted
# index.

require 'strscan'

module CrashLog
  # Real crash logs are well below this; anything longer is read only this far.
  READ_LIMIT = 8 * 1024 * 1024

  MARK = /vellumdrift/i

  # Longer lines are not taken for frames or images; this also keeps the
  # backtracking of the line patterns bounded.
  MAX_RECORD_LINE = 4096
  MAX_ADDRESS = (1 << 64) - 1
  # macOS writes at most a few hundred frames a backtrace; a log with more is
  # read this far.
  MAX_FRAMES = 10_000
  # A process loads a few hundred to a few thousand images.
  MAX_IMAGES = 20_000

  THREAD_RE = /\AThread (\d{1,9})( Crashed)?:/
  APP_BACKTRACE_RE = /\AApplication Specific Backtrace \d{1,9}:/
  HEADER_RE = %r{\A([A-Z][A-Za-z /]{0,40}):[ \t]*(.*)\z}
  # The image column begins and ends with a non-blank ("\s++", "(?<=\S)"):
  # with three blank-eating parts free to trade a run of blanks among them,
  # a frame line of a few thousand tabs took minutes to refuse.
  FRAME_RE = /\A(\d{1,9})\s++(.+?)(?<=\S)\s+0x(\h{1,16})(?:\s+(.*))?\z/
  IMAGE_RE = /\A0x(\h{1,16})\s*-\s*0x(\h{1,16})\s+\+?(\S+)(.*)\z/
  ADDRESS_RE = /0x(\h{1,16})/
  # 10.4 wrote each report of a log after a line of asterisks.
  SEPARATOR_RE = /^\*{10,}[ \t\r]*$/
  # A symbol column that names no symbol: "0x10c4d0000 + 24177",
  # "0 + 4501880433", "???", or the image and an offset ("Vellumdrift + 49429").
  LOAD_OFFSET_RE = /\A(?:0x(\h{1,16})|(\d{1,20})) \+ (\d{1,20})\z/
  IMAGE_OFFSET_RE = /\A(.{1,256}) \+ (\d{1,20})\z/
  UNKNOWN_SYMBOL_RE = /\A\?*\z/
  # A name the linker puts where it folded identical code: no symbol at all.
  PLACEHOLDER_RE = /\A<[A-Za-z_ -]{1,40}>\z/
  PRINTABLE = /[^\p{C}\p{Z}\s]/

  # What runs after the fault rather than causing it, by the function's name:
  # the signal trampoline and handlers, abort and assertions, exception
  # throwing and unwinding (C++, Objective-C, Swift, Rust, Go), the stack and
  # heap checkers.
  MACHINERY_RE = /\A(?:
    _sigtramp | __?sigtramp\w* | __pthread_kill | pthread_kill | raise | __?abort\w* | abort | __?assert\w* |
    __stack_chk_fail | __chk_fail\w* | __fortify_fail | _?os_crash\w* | __?libc_(?:message|fatal)\w* | malloc_error_break |
    _?_?crash_with\w* | __?dispatch_assert\w* | _?objc_terminate\w* | objc_exception_(?:re)?throw | __exceptionPreprocess |
    _CF\w*Throw\w* | __?cxa_\w+ | __cxxabiv1::\S+ | (?:std::)?(?:__1::)?__?terminate\w* | std::terminate\w* |
    _Unwind_\w+ | __gxx_personality\w* | _?_?swift_\w*(?:[Ff]ailure|[Ff]atal|[Ee]rror|[Tt]hrow|[Aa]bort|[Cc]rash)\w* |
    (?:closure\ \#\d+\ in\ )*(?:Swift\.)?_?(?:assertionFailure|preconditionFailure|fatalError\w*|unexpectedError\w*)\b |
    Swift\ runtime\ failure\b.* | swift::\w*[Ff]atal\w* | (?:std|core)::panicking::\S+ | std::(?:process::abort|sys::\S*abort\S*) |
    core::(?:result::unwrap_failed|option::(?:expect|unwrap)_failed)\b | rust_(?:begin_unwind|panic\w*) | __rust_\w+ |
    panic_abort::\S+ | runtime\.(?:sig\w+|throw\w*|fatal\w*|gopanic|panic\w*|raise\w*|abort|crash|dieFromSignal) |
    [-+]\[NSException\ raise\w*:?[^\]]*\] | [-+]\[NSAssertionHandler\ handleFailure[^\]]*\] |
    \$ss\d+_?(?:assertionFailure|preconditionFailure|fatalErrorMessage)\w* | std::sys_common::backtrace::\S+
  )(?=\z|[\s(<,])/x
  # A handler the faulting process installed, named as such.
  HANDLER_RE = /signal_?handler|handle_?signal|sig_?handler|crash_?handler|uncaught_?exception_?handler/i

  # Section headings that end the application-specific information, which
  # itself runs over blank-looking lines (macOS writes " " between messages).
  OTHER_HEADINGS = ['Application Specific Signatures:', 'Kernel Triage:', 'External Modification Summary:',
                    'VM Region Summary:', 'VM Regions Near', 'Backtrace not available',
                    'Error Formulating Crash Report:'].freeze
  # The body of a section that ends at the next blank line (or heading): one
  # anchored, possessive pattern, so that skipping it is linear.
  SECTION_BODY_RE = /(?:(?!Thread |Last Exception Backtrace:|Application Specific |Binary Images|
                     Kernel Triage:|External Modification Summary:|VM Region|Backtrace not available|
                     Error Formulating Crash Report:)[ \t\r\f\v\0]*+[^\s\0][^\n]*+(?:\n|\z))*+/x
  # Header keys that end it too when a report puts them after it.
  KNOWN_HEADERS = ['Process', 'Command', 'Path', 'Identifier', 'Version', 'Exception Type', 'Exception Codes',
                   'Exception Note', 'Exception', 'Codes', 'Crashed Thread', 'Termination Reason',
                   'Termination Signal', 'Terminating Process', 'Triggered by Thread'].freeze
  # The header keys the reports are judged by.
  USED_HEADERS = ['Process', 'Command', 'Exception Type', 'Exception', 'Termination Signal', 'Termination Reason',
                  'Crashed Thread', 'Triggered by Thread', 'OS Version'].freeze
  USED_HEADER_RE = /\A(#{USED_HEADERS.map { |key| Regexp.escape(key) }.join('|')}):[ \t]*(.*)\z/

  # +image+ is the name the frame gives (may be nil), +ref+ the image it
  # points to (.ips), +symbol+ the symbol text (may be nil or unsymbolicated).
  Frame = Struct.new(:image, :address, :symbol, :ref) do
    # The function's name: the symbol without its offset and source location.
    def function
      symbol.to_s.strip.sub(/ \+ \d+(?: .*)?\z/, '')
    end

    def machinery?
      name = function
      name.match?(MACHINERY_RE) || name.match?(HANDLER_RE)
    end

    def placeholder?
      function.match?(PLACEHOLDER_RE)
    end
  end

  # Where a crash happened: the image's name, and the symbol (with its
  # offset, "-[VDBadgeProvider badgeForURL:] + 112") or, when the log names
  # none, the offset into the image. Shown as "image: symbol", "image +
  # offset", or the image alone when neither is known.
  Location = Struct.new(:image, :symbol, :offset) do
    def to_s
      if symbol then "#{image}: #{symbol}"
      elsif offset then "#{image} + #{offset}"
      else image.to_s
      end
    end
  end

  # +version+ is the bundle's version as the log gives it ("2.1 - 2104"), or nil.
  Image = Struct.new(:first, :last, :identifier, :path, :short_name, :version) do
    # The path's last component. Not File.basename: it raises on a NUL byte,
    # which a damaged log can hold, and that would fail the whole script.
    def name
      return short_name if short_name && !short_name.empty?

      base = path&.split('/')&.last
      base.nil? || base.empty? || base.match?(/\A\?+\z/) ? identifier : base
    end

    def vellumdrift?
      [identifier, path, short_name].any? { |text| text&.match?(MARK) }
    end

    def covers?(address)
      !address.nil? && first <= address && address <= last
    end
  end

  # Images by address: a lookup is a binary search, so that placing every
  # frame of a long backtrace among many images stays linear in the log.
  class ImageIndex
    def initialize(images)
      @images = images.sort_by(&:first)
      @firsts = @images.map(&:first)
      # For each position, the image reaching furthest among those up to it.
      furthest = nil
      @furthest = @images.map { |image| furthest = image if furthest.nil? || image.last > furthest.last; furthest }
    end

    # An image that covers +address+, or nil.
    def covering(address)
      return nil if address.nil? || @images.empty?

      after = @firsts.bsearch_index { |first| first > address } || @firsts.size
      return nil if after.zero?

      candidate = @furthest[after - 1]
      candidate.covers?(address) ? candidate : nil
    end
  end

  # The first +limit+ bytes of the regular file at +path+ (binary), or nil
  # when it cannot be read. The file is opened non-blocking and anything that
  # is not a regular file is refused, so a FIFO or a device cannot hang us.
  def self.read_bytes(path, limit = READ_LIMIT)
    File.open(path, File::RDONLY | File::NONBLOCK | File::BINARY) do |file|
      return nil unless file.stat.file?

      file.read(limit) || String.new(encoding: Encoding::BINARY)
    end
  rescue SystemCallError, IOError, ArgumentError, TypeError
    nil
  end

  # Bytes as UTF-8 text, invalid sequences replaced.
  def self.to_text(bytes)
    bytes.dup.force_encoding(Encoding::UTF_8).scrub("\uFFFD")
  end

  # The parsed report of the file at +path+, or nil when it cannot be read or
  # is no crash log.
  def self.load(path)
    bytes = read_bytes(path)
    bytes && parse(to_text(bytes))
  end

  # The report in +text+ whatever its format, or nil when it is no crash log.
  def self.parse(text)
    report = JsonReport.read(text) if text.lstrip.start_with?('{')
    report ||= TextReport.read(text)
    report&.crash_log? ? report : nil
  end

  # One line of printable text: control, format and unassigned characters and
  # line breaks become spaces, runs of space collapse, at most +limit+
  # characters.
  def self.printable_line(text, limit)
    line = to_text(text.b).gsub(/[\p{C}\p{Z}\s]+/, ' ').strip
    return line if line.length <= limit

    "#{line[0, limit - 1].rstrip}\u2026"
  end

  # What both formats give: the crash's frames, images and texts.
  class Report
    attr_reader :app_info

    def initialize
      @process = nil
      @exception = nil
      @termination = nil
      @exception_addresses = []
      @app_info = []
      @crash_evidence = false
      # A report cut short after a header that names the process and the OS.
      @cut_short = false
    end

    def crash_log?
      !@process.nil? && (@crash_evidence || @cut_short)
    end

    # The exception with its signal, or failing that how the process was
    # terminated: the first with a printable character (one of format or
    # control characters alone would leave the summary empty).
    def exception_text
      [@exception, @termination].find { |value| value&.match?(PRINTABLE) }
    end

    # The crash concerns Vellumdrift: a frame of the crashed thread, of the
    # last exception backtrace or of an application-specific backtrace lies in
    # the Vellumdrift module, or the application-specific information names it.
    def related?
      !faulting_frame.nil? || app_info_mention?
    end

    def app_info_mention?
      @app_info.any? { |line| line.match?(MARK) }
    end

    # The first line of the application-specific information that names Vellumdrift.
    def app_info_mention
      @app_info.find { |line| line.match?(MARK) }
    end

    # The Location of the faulting code in the Vellumdrift module, or nil.
    # Backtraces are searched in turn: the crashed thread, the last exception
    # backtrace, the application-specific backtraces. The first Vellumdrift
    # frame below the last machinery frame of a backtrace (a handler of
    # Vellumdrift's own runs above the signal trampoline) is taken; failing
    # that in every backtrace, the first that is no machinery, then the first
    # at all; failing frames, an address of a bare address list.
    def faulting_frame
      @faulting_frame ||= find_faulting_frame
    end

    # The one-line summary for the mail's subject, from a report of the
    # redacted text.
    def summary
      text = exception_text || 'Crash'
      if (location = faulting_frame)
        "#{text} in #{location}"
      elsif (mention = app_info_mention)
        "#{text} in application info: #{mention.strip}"
      else
        text
      end
    end

    def vellumdrift_frame?(frame)
      return true if frame.ref&.vellumdrift? || frame.image&.match?(MARK)
      return true if vellumdrift_index.covering(frame.address)
      return false if frame.ref || frame.image.nil? || !vellumdrift_named.key?(frame.image)
      return false if listed_at?(frame.address)

      image_named(frame.image)&.vellumdrift? || false
    end

    private

    # The backtraces in the order they are searched.
    def backtraces
      [crashed_frames, exception_frames, app_frames]
    end

    def find_faulting_frame
      lists = backtraces
      below = lists.lazy.filter_map do |frames|
        last = frames.rindex(&:machinery?)
        frames.drop(last ? last + 1 : 0).find { |frame| !frame.placeholder? && vellumdrift_frame?(frame) }
      end.first
      frame = below || first_frame(lists) { |f| !f.machinery? && !f.placeholder? } || first_frame(lists) { true }
      return describe(frame) if frame

      address = @exception_addresses.find { |a| vellumdrift_index.covering(a) }
      address && describe(Frame.new(nil, address, nil, nil))
    end

    def first_frame(lists)
      lists.each do |frames|
        frame = frames.find { |f| vellumdrift_frame?(f) && yield(f) }
        return frame if frame
      end
      nil
    end

    def vellumdrift_images
      @vellumdrift_images ||= all_images.select(&:vellumdrift?)
    end

    def vellumdrift_index
      @vellumdrift_index ||= ImageIndex.new(vellumdrift_images)
    end

    # Vellumdrift images by identifier and name.
    def vellumdrift_named
      @vellumdrift_named ||= by_name(vellumdrift_images)
    end

    def by_name(images)
      images.sort_by(&:first).each_with_object({}) do |image, map|
        map[image.identifier] ||= image
        map[image.name] ||= image
      end
    end

    # An image of a plausible size lies at +address+.
    def listed_at?(address)
      @listed_index ||= ImageIndex.new(all_images.select { |image| image.last - image.first < MAX_ADDRESS / 2 })
      !@listed_index.covering(address).nil?
    end

    def image_named(name)
      return nil if name.nil?

      @images_by_name ||= by_name(all_images)
      @images_by_name[name]
    end

    def describe(frame)
      image = frame.ref if frame.ref&.vellumdrift?
      image ||= vellumdrift_index.covering(frame.address)
      image ||= vellumdrift_named[frame.image] if frame.image
      name = image ? image.name : bundle_name(frame.image)
      symbol = frame.symbol.to_s.strip
      offset = image.covers?(frame.address) ? frame.address - image.first : nil if image
      if (match = LOAD_OFFSET_RE.match(symbol))
        # An unsymbolicated frame: its image's load address and the offset.
        loaded = match[1] ? match[1].to_i(16) : match[2].to_i
        return Location.new(name, nil, offset || (loaded.zero? ? nil : match[3].to_i))
      end
      if (match = IMAGE_OFFSET_RE.match(symbol)) && [frame.image, name, image&.identifier].include?(match[1])
        return Location.new(name, nil, match[2].to_i)
      end
      return Location.new(name, nil, offset) if symbol.match?(UNKNOWN_SYMBOL_RE) || frame.placeholder?

      Location.new(name, symbol, nil)
    end

    # Frames name images by bundle identifier; the summary shows the file
    # name, as in VellumdriftFinderSync rather than com.vellumdrift.….
    def bundle_name(column)
      return 'Vellumdrift' if column.nil?

      column[/\A[a-z][a-z0-9-]*(?:\.[A-Za-z0-9_-]+)*\.([A-Za-z][A-Za-z0-9_-]*)\z/, 1] || column
    end
  end

  # The classic text report. Backtrace and image sections begin at their
  # heading and end at the next blank line (or heading); they are kept as
  # text and read only when needed. The application-specific information
  # ends at the next section heading.
  class TextReport < Report
    # A part that could be a crash log by itself names its process and how
    # it crashed or what it ran on.
    CANDIDATE_RE = /^(?:Process|Command):/
    EVIDENCE_RE = /^(?:Thread \d{1,9} Crashed|Crashed Thread:|Triggered by Thread:|Exception|Termination|OS Version:)/

    def self.read(text)
      if text.include?('**********')
        # The newest report of a 10.4 log is its last.
        text.split(SEPARATOR_RE).reverse_each do |part|
          next unless part.match?(CANDIDATE_RE) && part.match?(EVIDENCE_RE)

          report = new(part)
          return report if report.crash_log?
        end
      end
      new(text)
    end

    def initialize(text)
      super()
      @headers = {}
      @threads = {}
      @crashed_index = nil
      @exception_lines = []
      @app_frame_lines = []
      @image_bodies = []
      @app_info_frames = []
      parse(text)
      finish
    end

    private

    def finish
      @process = @headers['Process'] || @headers['Command']
      @exception = @headers['Exception Type'] || @headers['Exception']
      @termination = @headers['Termination Signal'] || @headers['Termination Reason']
      @crashed = @crashed_index || (@headers['Crashed Thread'] || @headers['Triggered by Thread']).to_s[/\A\d{1,9}/]&.to_i
      @crash_evidence = !@crashed.nil? || !(@exception || @termination).nil?
      @cut_short = @headers.key?('OS Version')
    end

    def crashed_frames
      @crashed_frames ||= frames_of(@threads.fetch(@crashed, []))
    end

    def exception_frames
      @exception_frames ||= (@app_info_frames + frames_of(@exception_lines) { |line| take_addresses(line) })
                            .first(MAX_FRAMES)
    end

    def app_frames
      @app_frames ||= frames_of(@app_frame_lines)
    end

    def all_images
      @all_images ||= @image_bodies.flat_map { |body| images_of(body.each_line) }
    end

    # Only Vellumdrift's images are read unless a frame needs the others.
    def vellumdrift_images
      @vellumdrift_images ||=
        if @all_images then @all_images.select(&:vellumdrift?)
        else images_of(@image_bodies.flat_map { |body| body.scan(/^[^\n]*?#{MARK}[^\n]*/o) }).select(&:vellumdrift?)
        end
    end

    # Section bodies are lists of texts: their lines are read as frames here;
    # the block gets each line that is none.
    def frames_of(texts)
      frames = []
      texts.each do |text|
        text.each_line(chomp: true) do |line|
          frame = frame(line)
          frame ? frames << frame : (yield line if block_given?)
          return frames if frames.size >= MAX_FRAMES
        end
      end
      frames
    end

    def images_of(lines)
      images = []
      lines.each do |line|
        image = image(line.chomp)
        images << image if image
        break if images.size >= MAX_IMAGES
      end
      images
    end

    def parse(text)
      scanner = StringScanner.new(text)
      section = nil
      until scanner.eos?
        # Outside a section, only headings and header keys not yet read matter.
        scanner.skip(uninteresting_lines) if section.nil?
        line = scanner.scan(/[^\n]*+/)
        scanner.skip(/\n/)
        line = line.chop if line.end_with?("\r")
        if (opened = heading(line))
          section = opened
          body = skip_body(scanner, section)
          section = nil if body
        elsif section == :app_info
          section = take_app_info(line)
        elsif blank?(line)
          section = nil
        else
          take_header(line)
        end
      end
    end

    # Takes the body of a section that ends at a blank line; nil for the
    # application-specific information, which is read line by line.
    def skip_body(scanner, section)
      return nil if section == :app_info

      body = scanner.scan(SECTION_BODY_RE)
      case section
      when Array then (@threads[section[1]] ||= []) << body
      when :exception then @exception_lines << body
      when :app_backtrace then @app_frame_lines << body
      when :images then @image_bodies << body
      end
      body
    end

    def blank?(line)
      line.empty? || line.match?(/\A[\s\0]*\z/)
    end

    # The section a heading line opens, or nil when the line is no heading.
    def heading(line)
      first = line.getbyte(0)
      return nil unless first && first >= 65 && first <= 90 # headings begin with a capital letter

      if (match = THREAD_RE.match(line))
        index = match[1].to_i
        @crashed_index ||= index if match[2]
        [:thread, index]
      elsif line.start_with?('Last Exception Backtrace:') then :exception
      elsif line.start_with?('Application Specific Information:') then :app_info
      elsif APP_BACKTRACE_RE.match?(line) then :app_backtrace
      elsif line.start_with?('Binary Images') then :images
      elsif line.start_with?('Thread ') || OTHER_HEADINGS.any? { |h| line.start_with?(h) } then :other
      end
    end

    # The section that goes on after an application-specific line: 10.5 and
    # 10.6 put the first-throw call stack there, as frames or an address list.
    def take_app_info(line)
      if @app_info.empty? || blank?(@app_info.last)
        match = HEADER_RE.match(line) if line.length <= MAX_RECORD_LINE
        if match && KNOWN_HEADERS.include?(match[1])
          take_header(line)
          return nil
        end
      end
      @app_info << line if line.length <= MAX_RECORD_LINE * 16
      first = line.lstrip.getbyte(0)
      if first && first >= 48 && first <= 57 && @app_info_frames.size < MAX_FRAMES && (frame = frame(line))
        @app_info_frames << frame
      else
        take_addresses(line)
      end
      :app_info
    end

    def take_header(line)
      first = line.getbyte(0)
      return unless first && first >= 65 && first <= 90

      match = USED_HEADER_RE.match(line)
      return unless match && !@headers.key?(match[1])

      @headers[match[1]] = match[2].strip
      @uninteresting_lines = nil
    end

    # Whole lines that open no section and hold no header key still to be
    # read: skipped in one anchored match.
    def uninteresting_lines
      @uninteresting_lines ||= begin
        keys = (USED_HEADERS - @headers.keys).map { |key| "#{key}:" }
        starts = ['Thread ', 'Last Exception Backtrace:', 'Application Specific ', 'Binary Images', *OTHER_HEADINGS, *keys]
        /(?:(?!#{starts.map { |start| Regexp.escape(start) }.join('|')})[^\n]*+\n)*+/
      end
    end

    # Older logs give a backtrace as a parenthesised address list, on one
    # line or over several.
    def take_addresses(line)
      return unless line.length <= MAX_RECORD_LINE * 16 && line.lstrip.start_with?('(', '0x')
      return if @exception_addresses.size >= MAX_FRAMES

      line.scan(ADDRESS_RE) { |(hex)| @exception_addresses << hex.to_i(16) }
    end

    def frame(line)
      return nil if line.length > MAX_RECORD_LINE

      match = FRAME_RE.match(line.strip)
      match && Frame.new(match[2], match[3].to_i(16), match[4], nil)
    end

    def image(line)
      return nil if line.length > MAX_RECORD_LINE

      match = IMAGE_RE.match(line.strip)
      return nil unless match

      rest = match[4]
      # "[^<>]", not "[^>]": the same path, but a line of "<<<<…" is read in
      # linear rather than quadratic time.
      path = rest[/<[^<>]*>\s+(\/.*)\z/, 1] || rest[/\s(\/.*)\z/, 1]
      first = match[1].to_i(16)
      last = match[2].to_i(16)
      last >= first ? Image.new(first, last, match[3], path&.strip, nil, image_version(rest)) : nil
    end

    # What stands between the identifier and the UUID or path: "(2.1 - 2104)",
    # "2.0.1 (2.0.1)"; nil when it holds no version ("???", "(??? - ???)").
    def image_version(rest)
      text = rest.split(/\s<|\s\//, 2).first.to_s.strip
      text = text[1..-2].strip if text.start_with?('(') && text.end_with?(')')
      text.match?(/[A-Za-z0-9]/) && text.length <= 64 ? text : nil
    end
  end

  # The JSON report of macOS 12 and later.
  class JsonReport < Report
    # Crash reports among the kinds of .ips macOS writes.
    CRASH_BUG_TYPES = [nil, '109', '309'].freeze

    def self.read(text)
      require 'json'
      head, rest = text.split("\n", 2)
      meta = parse_json(head)
      return parse_json(text).then { |body| body.is_a?(Hash) ? new({}, body) : nil } unless meta.is_a?(Hash)
      # The document alone, on one line.
      return new({}, meta) if rest.nil? || rest.strip.empty?

      body = parse_json(rest)
      return new(meta, body) if body.is_a?(Hash)
      # Its JSON body cut off: the metadata line still names the process and the OS.
      return new(meta, {}, cut_short: true) if rest.lstrip.start_with?('{') && cut_short_header?(meta)

      # An older .ips: the metadata line, then a text report.
      rest.lstrip.start_with?('{') ? nil : TextReport.read(rest)
    end

    def self.parse_json(text)
      text && JSON.parse(text, max_nesting: 64)
    rescue JSON::ParserError, EncodingError
      nil
    end

    def self.cut_short_header?(meta)
      [meta['app_name'] || meta['name'], meta['os_version']].all? { |v| v.is_a?(String) && !v.empty? } &&
        CRASH_BUG_TYPES.include?(meta['bug_type'])
    end

    def initialize(meta, body, cut_short: false)
      super()
      @cut_short = cut_short
      @process = string(body['procName']) || string(meta['app_name']) || string(meta['name']) ||
                 string(body['procPath'])
      @listed = array(body['usedImages']).first(MAX_IMAGES).map { |entry| image(entry) }
      @images = @listed.compact
      read_exception(hash(body['exception']), hash(body['termination']))
      read_threads(body)
      @exception_frames = array(body['lastExceptionBacktrace']).first(MAX_FRAMES).filter_map { |f| frame(f) }
      @app_frames = []
      read_app_info(body['asi'])
    end

    private

    attr_reader :crashed_frames, :exception_frames, :app_frames

    def all_images
      @images
    end

    def read_exception(exception, termination)
      type = string(exception['type'])
      signal = string(exception['signal'])
      @exception = type && signal ? "#{type} (#{signal})" : type || signal
      namespace = string(termination['namespace'])
      code = termination['code']
      reason = "Namespace #{namespace}, Code #{code.is_a?(Integer) ? format('0x%x', code) : code}" if namespace
      @termination = string(termination['indicator']) || reason
      @crash_evidence = !exception.empty? || !termination.empty?
    end

    def read_threads(body)
      @crashed_frames = []
      threads = array(body['threads'])
      index = body['faultingThread']
      index = threads.index { |t| t.is_a?(Hash) && t['triggered'] == true } unless index.is_a?(Integer) && index >= 0
      return unless index

      @crash_evidence = true
      @crashed_frames = array(hash(threads[index])['frames']).first(MAX_FRAMES).filter_map { |f| frame(f) }
    end

    # { "libsystem_c.dylib": ["abort() called"], … }: the key names the
    # image that gave the message.
    def read_app_info(asi)
      case asi
      when Hash then asi.each { |key, value| Array(value).each { |v| @app_info << "#{key}: #{v}" if v.is_a?(String) } }
      when Array then asi.each { |v| @app_info << v if v.is_a?(String) }
      when String then @app_info << asi
      end
    end

    def image(entry)
      return nil unless entry.is_a?(Hash)

      base = address(entry['base'])
      size = address(entry['size'])
      return nil unless base && size

      Image.new(base, [base + [size, 1].max - 1, MAX_ADDRESS].min, string(entry['CFBundleIdentifier']) ||
                string(entry['name']) || '???', string(entry['path']), string(entry['name']), image_version(entry))
    end

    # As the text report writes it: "7.0 - 700".
    def image_version(entry)
      text = [string(entry['CFBundleShortVersionString']), string(entry['CFBundleVersion'])].compact.join(' - ')
      text.empty? || text.length > 64 ? nil : text
    end

    def frame(entry)
      return nil unless entry.is_a?(Hash)

      index = entry['imageIndex']
      ref = @listed[index] if index.is_a?(Integer) && index >= 0
      offset = address(entry['imageOffset'])
      symbol = string(entry['symbol'])
      location = entry['symbolLocation']
      symbol = "#{symbol} + #{location}" if symbol && location.is_a?(Integer)
      Frame.new(ref&.name, ref && offset ? ref.first + offset : nil, symbol, ref)
    end

    def address(value)
      value.is_a?(Integer) && value >= 0 && value <= MAX_ADDRESS ? value : nil
    end

    def string(value)
      value.is_a?(String) && !value.empty? ? value : nil
    end

    def array(value)
      value.is_a?(Array) ? value : []
    end

    def hash(value)
      value.is_a?(Hash) ? value : {}
    end
  end
end
