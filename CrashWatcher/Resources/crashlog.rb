# frozen_string_literal: true
#
# Reading and parsing of macOS crash-report text, shared by the helper scripts
# related-crash-report, upload-gist and extract-crash-info.
#
# Nothing read from a crash log is ever evaluated: the text is only matched
# against fixed, anchored patterns, and every read is bounded so that a huge,
# truncated or binary file cannot stall a script or exhaust its memory.
#
# The Vellumdrift module. A binary image belongs to Vellumdrift when its
# bundle identifier, its name or its path contains "vellumdrift" in any letter
# case: Vellumdrift, VellumdriftFinderSync, com.vellumdrift.*, and whatever is
# loaded from inside Vellumdrift.app (its embedded frameworks included). A
# backtrace frame lies in the Vellumdrift module when
#   - its image column contains "vellumdrift", or
#   - its address falls inside a Vellumdrift image listed under Binary Images,
#     or, failing any listed image at that address, the image its column names
#     is a Vellumdrift one.
# Being listed under Binary Images alone means nothing: Vellumdrift is loaded
# into Finder whenever it is installed.

module CrashLog
  # Real crash logs are well below this; anything longer is read only this far.
  READ_LIMIT = 8 * 1024 * 1024

  MARK = /vellumdrift/i

  # Longer lines are not taken for frames or images; this also keeps the
  # backtracking of the line patterns bounded.
  MAX_RECORD_LINE = 4096

  THREAD_RE = /\AThread (\d{1,9})( Crashed)?:/
  APP_BACKTRACE_RE = /\AApplication Specific Backtrace \d{1,9}:/
  HEADER_RE = /\A([A-Z][A-Za-z ]{0,40}):[ \t]*(.*)\z/
  # The image column begins and ends with a non-blank ("\s++", "(?<=\S)"):
  # with three blank-eating parts free to trade a run of blanks among them,
  # a frame line of a few thousand tabs took minutes to refuse.
  FRAME_RE = /\A(\d{1,9})\s++(.+?)(?<=\S)\s+0x(\h{1,16})(?:\s+(.*))?\z/
  IMAGE_RE = /\A0x(\h{1,16})\s*-\s*0x(\h{1,16})\s+\+?(\S+)(.*)\z/
  ADDRESS_RE = /0x(\h{1,16})/
  PRINTABLE = /[^\p{C}\p{Z}\s]/

  Frame = Struct.new(:image, :address, :symbol)

  Image = Struct.new(:first, :last, :identifier, :path) do
    # The path's last component. Not File.basename: it raises on a NUL byte,
    # which a damaged log can hold, and that would fail the whole script.
    def name
      base = path&.split('/')&.last
      base.nil? || base.empty? ? identifier : base
    end

    def vellumdrift?
      identifier.match?(MARK) || (path && path.match?(MARK)) || false
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
    return nil unless bytes

    report = Report.new(to_text(bytes))
    report.crash_log? ? report : nil
  end

  # One line of printable text: control, format and unassigned characters and
  # line breaks become spaces, runs of space collapse, at most +limit+
  # characters.
  def self.printable_line(text, limit)
    line = to_text(text.b).gsub(/[\p{C}\p{Z}\s]+/, ' ').strip
    return line if line.length <= limit

    "#{line[0, limit - 1].rstrip}\u2026"
  end

  # A crash log, read section by section. Sections begin at their heading
  # line and end at the next empty line.
  class Report
    attr_reader :headers, :images

    def initialize(text)
      @headers = {}
      @threads = {}
      @crashed_index = nil
      @exception_frames = []
      @exception_addresses = []
      @app_frames = []
      @app_info_mentions = false
      @images = []
      parse(text)
      @images.sort_by!(&:first)
    end

    def crash_log?
      @headers.key?('Process') && (@headers.key?('Exception Type') || !crashed_index.nil?)
    end

    def crashed_index
      return @crashed_index if @crashed_index

      @headers['Crashed Thread'].to_s[/\A\d{1,9}/]&.to_i
    end

    def crashed_frames
      @threads.fetch(crashed_index, [])
    end

    # The first with a printable character: one of format or control
    # characters alone would leave the summary empty.
    def exception_type
      [@headers['Exception Type'], @headers['Termination Signal']].find { |value| value&.match?(PRINTABLE) }
    end

    # The crash concerns Vellumdrift: a frame of the crashed thread, of the
    # last exception backtrace or of the application-specific information
    # lies in the Vellumdrift module, or that information names it.
    def related?
      return true if @app_info_mentions

      [crashed_frames, @exception_frames, @app_frames].any? { |frames| frames.any? { |f| vellumdrift_frame?(f) } } ||
        @exception_addresses.any? { |a| image_at(a)&.vellumdrift? }
    end

    # The topmost Vellumdrift frame of the crashed thread; failing that, of
    # the last exception backtrace, then of the application-specific
    # backtraces. Gives [image name, symbol text] or nil.
    def top_vellumdrift_frame
      [crashed_frames, @exception_frames, @app_frames].each do |frames|
        frame = frames.find { |f| vellumdrift_frame?(f) }
        return [display_name(frame), frame.symbol.to_s] if frame
      end
      address = @exception_addresses.find { |a| image_at(a)&.vellumdrift? }
      return nil unless address

      image = image_at(address)
      [image.name, format('0x%<base>x + %<offset>d', base: image.first, offset: address - image.first)]
    end

    def vellumdrift_frame?(frame)
      return true if frame.image.match?(MARK)

      image = image_at(frame.address) || image_named(frame.image)
      image ? image.vellumdrift? : false
    end

    private

    def image_at(address)
      index = @images.bsearch_index { |image| image.first > address }
      candidate = @images[(index || @images.size) - 1]
      return nil if candidate.nil? || index&.zero?

      candidate.last >= address ? candidate : nil
    end

    def image_named(name)
      @images_by_name ||= @images.each_with_object({}) do |image, map|
        map[image.identifier] ||= image
        map[image.name] ||= image
      end
      @images_by_name[name]
    end

    # Frames name images by bundle identifier; the summary shows the file
    # name, as in VellumdriftFinderSync rather than com.vellumdrift.….
    def display_name(frame)
      image = image_at(frame.address) || image_named(frame.image)
      return image.name if image

      frame.image[/\A[a-z][a-z0-9-]*(?:\.[A-Za-z0-9_-]+)*\.([A-Za-z][A-Za-z0-9_-]*)\z/, 1] || frame.image
    end

    def parse(text)
      section = nil
      text.each_line do |raw|
        line = raw.chomp
        if line.strip.empty?
          section = nil
        elsif (new_section = heading(line))
          section = new_section
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
      elsif line.start_with?('Last Exception Backtrace:')
        [:exception]
      elsif line.start_with?('Application Specific Information:')
        [:app_info]
      elsif APP_BACKTRACE_RE.match?(line)
        [:app_backtrace]
      elsif line.start_with?('Binary Images:')
        [:images]
      end
    end

    def take(section, line)
      case section&.first
      when nil then take_header(line)
      when :thread then (frame = frame(line)) && @threads[section[1]] << frame
      when :exception then take_exception(line)
      when :app_info then @app_info_mentions ||= line.match?(MARK)
      when :app_backtrace then (frame = frame(line)) && @app_frames << frame
      when :images then (image = image(line)) && @images << image
      end
    end

    def take_header(line)
      match = HEADER_RE.match(line)
      @headers[match[1]] ||= match[2].strip if match
    end

    # Either frame lines or, in older logs, one parenthesised address list.
    def take_exception(line)
      if (frame = frame(line))
        @exception_frames << frame
      elsif line.length <= MAX_RECORD_LINE * 16 && line.lstrip.start_with?('(')
        line.scan(ADDRESS_RE) { |(hex)| @exception_addresses << hex.to_i(16) }
      end
    end

    def frame(line)
      return nil if line.length > MAX_RECORD_LINE

      match = FRAME_RE.match(line.strip)
      match && Frame.new(match[2], match[3].to_i(16), match[4])
    end

    def image(line)
      return nil if line.length > MAX_RECORD_LINE

      match = IMAGE_RE.match(line.strip)
      return nil unless match

      rest = match[4]
      # "[^<>]", not "[^>]": the same path, but a line of "<<<<…" is read in
      # linear rather than quadratic time.
      path = rest[/<[^<>]*>\s+(\/.*)\z/, 1] || rest[/\s(\/.*)\z/, 1]
      Image.new(match[1].to_i(16), match[2].to_i(16), match[3], path&.strip)
    end
  end
end
