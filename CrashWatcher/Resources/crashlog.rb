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

module CrashLog
  # Real crash logs are well below this; anything longer is read only this far.
  READ_LIMIT = 8 * 1024 * 1024

  MARK = /vellumdrift/i

  # Longer lines are not taken for frames or images; this also keeps the
  # backtracking of the line patterns bounded.
  MAX_RECORD_LINE = 4096
  MAX_ADDRESS = (1 << 64) - 1

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
  # A symbol column that names no symbol: "0x10c4d0000 + 24177", "0 + 4501880433", "???".
  UNSYMBOLICATED_RE = /\A(?:(?:0x\h+|\d+) \+ \d+|\?+)?\z/
  PRINTABLE = /[^\p{C}\p{Z}\s]/

  # Section headings that end the application-specific information, which
  # itself runs over blank-looking lines (macOS writes " " between messages).
  OTHER_HEADINGS = ['Application Specific Signatures:', 'Kernel Triage:', 'External Modification Summary:',
                    'VM Region Summary:', 'VM Regions Near', 'Backtrace not available',
                    'Error Formulating Crash Report:'].freeze
  # Header keys that end it too when a report puts them after it.
  KNOWN_HEADERS = ['Process', 'Command', 'Path', 'Identifier', 'Version', 'Exception Type', 'Exception Codes',
                   'Exception Note', 'Exception', 'Codes', 'Crashed Thread', 'Termination Reason',
                   'Termination Signal', 'Terminating Process', 'Triggered by Thread'].freeze

  # +image+ is the name the frame gives (may be nil), +ref+ the image it
  # points to (.ips), +symbol+ the symbol text (may be nil or unsymbolicated).
  Frame = Struct.new(:image, :address, :symbol, :ref)

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
    attr_reader :images, :app_info

    def initialize
      @process = nil
      @exception = nil
      @termination = nil
      @crashed_frames = []
      @exception_frames = []
      @exception_addresses = []
      @app_frames = []
      @app_info = []
      @images = []
      @crash_evidence = false
    end

    def crash_log?
      !@process.nil? && @crash_evidence
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
      !top_vellumdrift_frame.nil? || app_info_mention?
    end

    def app_info_mention?
      @app_info.any? { |line| line.match?(MARK) }
    end

    # The first line of the application-specific information that names Vellumdrift.
    def app_info_mention
      @app_info.find { |line| line.match?(MARK) }
    end

    # The topmost Vellumdrift frame of the crashed thread; failing that, of
    # the last exception backtrace, then of the application-specific
    # backtraces. Gives "image: symbol" or "image + offset", or nil.
    def top_vellumdrift_frame
      [@crashed_frames, @exception_frames, @app_frames].each do |frames|
        frame = frames.find { |f| vellumdrift_frame?(f) }
        return describe(frame) if frame
      end
      address = @exception_addresses.find { |a| vellumdrift_images.any? { |image| image.covers?(a) } }
      address && describe(Frame.new(nil, address, nil, nil))
    end

    # The one-line summary for the mail's subject; +redaction+ (see
    # redaction.rb) takes out what is personal.
    def summary(redaction = nil)
      paths = ->(text) { redaction ? redaction.redact_paths(text) : text }
      text = paths.call(exception_text || 'Crash')
      if (frame = top_vellumdrift_frame)
        "#{text} in #{paths.call(frame)}"
      elsif (mention = app_info_mention)
        "#{text} in application info: #{redaction ? redaction.redact_free(mention.strip) : mention.strip}"
      else
        text
      end
    end

    def vellumdrift_frame?(frame)
      return true if frame.ref&.vellumdrift? || frame.image&.match?(MARK)
      return true if vellumdrift_images.any? { |image| image.covers?(frame.address) }
      return false if frame.ref || listed_at?(frame.address)

      image_named(frame.image)&.vellumdrift? || false
    end

    private

    def vellumdrift_images
      @vellumdrift_images ||= @images.select(&:vellumdrift?)
    end

    def listed_at?(address)
      !address.nil? && @images.any? { |image| image.covers?(address) && image.last - image.first < MAX_ADDRESS / 2 }
    end

    def image_named(name)
      return nil if name.nil?

      @images_by_name ||= @images.each_with_object({}) do |image, map|
        map[image.identifier] ||= image
        map[image.name] ||= image
      end
      @images_by_name[name]
    end

    def describe(frame)
      image = frame.ref if frame.ref&.vellumdrift?
      image ||= vellumdrift_images.find { |i| i.covers?(frame.address) }
      image ||= image_named(frame.image) if frame.image
      name = image ? image.name : bundle_name(frame.image)
      symbol = frame.symbol.to_s.strip
      return "#{name}: #{symbol}" unless symbol.match?(UNSYMBOLICATED_RE)
      return "#{name} + #{frame.address - image.first}" if image&.covers?(frame.address)

      symbol.empty? || symbol.match?(/\A\?+\z/) ? name.to_s : "#{name}: #{symbol}"
    end

    # Frames name images by bundle identifier; the summary shows the file
    # name, as in VellumdriftFinderSync rather than com.vellumdrift.….
    def bundle_name(column)
      return 'Vellumdrift' if column.nil?

      column[/\A[a-z][a-z0-9-]*(?:\.[A-Za-z0-9_-]+)*\.([A-Za-z][A-Za-z0-9_-]*)\z/, 1] || column
    end
  end

  # The classic text report, read line by line. Backtrace and image sections
  # begin at their heading and end at the next blank line; the
  # application-specific information ends at the next section heading.
  class TextReport < Report
    def self.read(text)
      if text.include?('**********')
        # The newest report of a 10.4 log is its last.
        text.split(SEPARATOR_RE).reverse_each do |part|
          report = new(part)
          return report if report.crash_log?
        end
      end
      new(text)
    end

    attr_reader :headers

    def initialize(text)
      super()
      @headers = {}
      @threads = {}
      @crashed_index = nil
      parse(text)
      @images.sort_by!(&:first)
      finish
    end

    private

    def finish
      @process = @headers['Process'] || @headers['Command']
      @exception = @headers['Exception Type'] || @headers['Exception']
      @termination = @headers['Termination Signal'] || @headers['Termination Reason']
      index = @crashed_index || (@headers['Crashed Thread'] || @headers['Triggered by Thread']).to_s[/\A\d{1,9}/]&.to_i
      @crashed_frames = @threads.fetch(index, [])
      @crash_evidence = !index.nil? || !(@exception || @termination).nil?
    end

    def parse(text)
      section = nil
      text.each_line do |raw|
        line = raw.chomp.delete_suffix("\r")
        if (new_section = heading(line))
          section = new_section
        elsif section == :app_info
          section = take_app_info(line)
        elsif line.strip.empty?
          section = nil
        else
          take(section, line)
        end
      end
    end

    # The section a heading line opens, or nil when the line is no heading.
    def heading(line)
      if (match = THREAD_RE.match(line))
        index = match[1].to_i
        @crashed_index ||= index if match[2]
        @threads[index] ||= []
        [:thread, index]
      elsif line.start_with?('Last Exception Backtrace:') then :exception
      elsif line.start_with?('Application Specific Information:') then :app_info
      elsif APP_BACKTRACE_RE.match?(line) then :app_backtrace
      elsif line.start_with?('Binary Images') then :images
      elsif OTHER_HEADINGS.any? { |h| line.start_with?(h) } || line.start_with?('Thread ') then :other
      end
    end

    # The section that goes on after an application-specific line: 10.5 and
    # 10.6 put the first-throw call stack there, as frames or an address list.
    def take_app_info(line)
      match = HEADER_RE.match(line) if line.length <= MAX_RECORD_LINE
      if match && KNOWN_HEADERS.include?(match[1]) && @app_info.last.to_s.strip.empty?
        take_header(line)
        return nil
      end
      @app_info << line if line.length <= MAX_RECORD_LINE * 16
      if (frame = frame(line))
        @exception_frames << frame
      else
        take_addresses(line)
      end
      :app_info
    end

    def take(section, line)
      case section
      when nil then take_header(line)
      when Array then (frame = frame(line)) && @threads[section[1]] << frame
      when :exception then (frame = frame(line)) ? @exception_frames << frame : take_addresses(line)
      when :app_backtrace then (frame = frame(line)) && @app_frames << frame
      when :images then (image = image(line)) && @images << image
      end
    end

    def take_header(line)
      match = HEADER_RE.match(line)
      @headers[match[1]] ||= match[2].strip if match
    end

    # Older logs give a backtrace as a parenthesised address list, on one
    # line or over several.
    def take_addresses(line)
      return unless line.length <= MAX_RECORD_LINE * 16 && line.lstrip.start_with?('(', '0x')

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
    def self.read(text)
      require 'json'
      head, rest = text.split("\n", 2)
      meta = parse_json(head)
      return parse_json(text).then { |body| body.is_a?(Hash) ? new({}, body) : nil } unless meta.is_a?(Hash)
      # The document alone, on one line.
      return new({}, meta) if rest.nil? || rest.strip.empty?

      body = parse_json(rest)
      return new(meta, body) if body.is_a?(Hash)

      # An older .ips: the metadata line, then a text report.
      rest.lstrip.start_with?('{') ? nil : TextReport.read(rest)
    end

    def self.parse_json(text)
      text && JSON.parse(text, max_nesting: 64)
    rescue JSON::ParserError, EncodingError
      nil
    end

    def initialize(meta, body)
      super()
      @process = string(body['procName']) || string(meta['app_name']) || string(meta['name']) ||
                 string(body['procPath'])
      @listed = array(body['usedImages']).map { |entry| image(entry) }
      @images = @listed.compact.sort_by(&:first)
      read_exception(hash(body['exception']), hash(body['termination']))
      read_threads(body)
      @exception_frames = array(body['lastExceptionBacktrace']).filter_map { |f| frame(f) }
      read_app_info(body['asi'])
    end

    private

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
      threads = array(body['threads'])
      index = body['faultingThread']
      index = threads.index { |t| t.is_a?(Hash) && t['triggered'] == true } unless index.is_a?(Integer) && index >= 0
      return unless index

      @crash_evidence = true
      @crashed_frames = array(hash(threads[index])['frames']).filter_map { |f| frame(f) }
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
