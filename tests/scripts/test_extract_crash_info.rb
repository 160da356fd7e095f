# frozen_string_literal: true

require_relative 'script_helper'

class ExtractCrashInfoTest < Minitest::Test
  include ScriptHelper

  def summary(content = nil, path: write_log(content))
    output, status = run_script('extract-crash-info', path)
    [output.dup.force_encoding(Encoding::UTF_8), status]
  end

  def test_summaries_name_the_exception_and_the_top_vellumdrift_frame
    {
      'finder-related.crash' =>
        'EXC_BAD_ACCESS (SIGSEGV) in VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:] + 112',
      'finder-related-exception.crash' =>
        'EXC_CRASH (SIGABRT) in VellumdriftFinderSync: -[VDSyncController statusInfoForItemAtURL:] + 254',
      'finder-related-appinfo.crash' => 'EXC_CRASH (SIGABRT) in Vellumdrift: -[VDSyncRootList addRootWithURL:] + 517',
      'finder-unrelated.crash' => 'EXC_BAD_ACCESS (SIGSEGV)',
      'finder-vellumdrift-other-thread.crash' => 'EXC_BAD_ACCESS (SIGSEGV)'
    }.each do |name, expected|
      assert_equal [expected, 0], summary(fixture(name)), name
    end
  end

  VD = 'com.vellumdrift.VellumdriftFinderSync'
  # Frames as "image address symbol", innermost first => the frame the summary names.
  FAULTING_FRAMES = {
    'its own signal handler, above the trampoline' =>
      [["libsystem_kernel.dylib 0x7ff80a1b __pthread_kill + 10", 'libsystem_c.dylib 0x7ff80b10 abort + 123',
        "#{VD} 0x10c4d1000 VDCrashSignalHandler + 40", 'libsystem_platform.dylib 0x7ff80c20 _sigtramp + 29',
        "#{VD} 0x10c4d5e71 -[VDBadgeProvider badgeForURL:] + 112"], 'VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:] + 112'],
    'a runtime it ships, and a trap' =>
      [["#{VD} 0x10c4d2000 Swift runtime failure: Unexpectedly found nil + 0",
        "#{VD} 0x10c4d2100 Swift._assertionFailure(_: Swift.StaticString, _: Swift.String, file: Swift.StaticString) -> Swift.Never + 44",
        "#{VD} 0x10c4d2200 core::result::unwrap_failed + 8", "#{VD} 0x10c4d2300 VDSync.start() + 20"],
       'VellumdriftFinderSync: VDSync.start() + 20'],
    'a linker placeholder' =>
      [["#{VD} 0x10c4d3000 <deduplicated_symbol> + 12", "#{VD} 0x10c4d3100 -[VDRoots add:] + 4"],
       'VellumdriftFinderSync: -[VDRoots add:] + 4'],
    'only placeholders: image and offset' =>
      [["#{VD} 0x10c4d3000 <deduplicated_symbol> + 12"], 'VellumdriftFinderSync + 12288'],
    'the load address of an older log' =>
      [["#{VD} 0x10c4d5e71 0x10c4d0000 + 24177"], 'VellumdriftFinderSync + 24177'],
    'the image named again, no image listed' =>
      [['Vellumdrift 0x20c4dc111 Vellumdrift + 49429'], 'Vellumdrift + 49429'],
    'its own abort, called from its code' =>
      [['libsystem_c.dylib 0x7ff80b10 abort + 123', "#{VD} 0x10c4d4000 -[VDCache purge] + 16"],
       'VellumdriftFinderSync: -[VDCache purge] + 16']
  }.freeze

  def test_summaries_name_the_faulting_code
    images = "Binary Images:\n0x10c4d0000 - 0x10c52ffff +#{VD} (2.1) <7A1E5C93-0D42-3B8F-A6E1-C4F29B7D0E58> " \
             "/Applications/Vellumdrift.app/Contents/PlugIns/VellumdriftFinderSync.appex/Contents/MacOS/VellumdriftFinderSync\n"
    FAULTING_FRAMES.each do |what, (frames, expected)|
      thread = frames.each_with_index.map { |frame, i| "#{i}   #{frame.sub(' ', "  \t")}\n" }.join
      log = "Process:  Finder [412]\nException Type:  EXC_CRASH (SIGABRT)\n\nThread 0 Crashed:\n#{thread}\n#{images}"
      assert_equal ["EXC_CRASH (SIGABRT) in #{expected}", 0], summary(log), what
    end
    # An uncaught exception: the crashed thread holds only a handler above
    # the terminate machinery; the exception's own backtrace names the code.
    text = fixture('finder-related-exception.crash')
    handler = text.sub(/^(Thread 0 Crashed:.*\n)/, "\\1999 #{VD} \t0x000000010c4d1000 VDUncaughtExceptionHandler + 12\n" \
                                                        "999 libobjc.A.dylib \t0x00007fff6b3b6a17 _objc_terminate() + 90\n")
    assert_equal 'EXC_CRASH (SIGABRT) in VellumdriftFinderSync: -[VDSyncController statusInfoForItemAtURL:] + 254',
                 summary(handler).first
  end

  def test_summary_falls_back_on_what_the_log_has
    no_type = related_with("Exception Type:        EXC_BAD_ACCESS (SIGSEGV)\n", '')
    assert_equal 'Segmentation fault: 11 in VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:] + 112',
                 summary(no_type).first
    # Redacted as the upload is, the exception text too.
    personal = related_with('EXC_BAD_ACCESS (SIGSEGV)', 'EXC_BAD_ACCESS (SIGSEGV) near alices-mbp.lan 192.0.2.7 bob@example.com')
    assert_equal 'EXC_BAD_ACCESS (SIGSEGV) near HOST.lan [redacted] [redacted] in VellumdriftFinderSync: -[VDBadgeProvider ' \
                 'badgeForURL:] + 112', summary(path: write_log(personal, 'Finder_2024-03-14-094127_alices-mbp.crash')).first
    bare = fixture('finder-related.crash').gsub("com.vellumdrift.VellumdriftFinderSync\t", "???\t")
    bare = bare[0, bare.index('Binary Images:')] + "Binary Images:\n"
    assert_equal 'EXC_BAD_ACCESS (SIGSEGV)', summary(bare).first, 'an unnamed frame with no image to place it'
    text = fixture('finder-related-exception.crash')
    start = text.index('Last Exception Backtrace:')
    listed = "#{text[0...start]}Last Exception Backtrace:\n(0x7fff6b3b6a17 0x10c4e0b36)#{text[text.index("\n\n", start)..]}"
    assert_equal 'EXC_CRASH (SIGABRT) in VellumdriftFinderSync + 68406', summary(listed).first
  end

  def test_summary_is_one_bounded_line_of_printable_text
    hostile = "-[VD\e[31mBadge\u202eProvider badgeFor\x01URL:\x7f]\xff\xfe & co\u2028next\tline".b
    output, status = summary(related_with('-[VDBadgeProvider badgeForURL:] + 112', hostile))
    assert_equal 0, status
    assert output.valid_encoding?
    assert_equal 'EXC_BAD_ACCESS (SIGSEGV) in VellumdriftFinderSync: -[VD [31mBadge Provider badgeFor URL: ]' \
                 "\uFFFD\uFFFD & co next line", output
    long = related_with('-[VDBadgeProvider badgeForURL:] + 112', "-[VDBadgeProvider #{'badgeForURL:' * 100}] + 112")
    output, = summary(long)
    assert_equal 200, output.length
    assert output.start_with?('EXC_BAD_ACCESS (SIGSEGV) in VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:')
    assert output.end_with?("\u2026")
  end

  def test_damaged_logs_still_give_a_summary
    text = fixture('finder-related.crash')
    expected = 'EXC_BAD_ACCESS (SIGSEGV) in VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:] + 112'
    assert_equal expected, summary(text[0, text.index('Thread 1:')]).first, 'truncated'
    assert_equal expected, summary(text.sub('Finder [412]', "Finder \xff [412]".b)).first, 'not UTF-8'
    assert_equal expected, summary(text + ("Thread 9:\n" + "0   x  \t0x1 y\n" * 2_000_000)).first, 'huge'
  end

  def test_no_summary_without_a_crash_log
    [File.join(@tmp, 'missing.crash'), @tmp, write_log("hello\n", 'note.crash'),
     write_log(Random.new(3).bytes(4096), 'noise.crash')].each do |path|
      output, status = summary(path: path)
      assert_empty output, path
      refute_equal 0, status, path
    end
  end
end
