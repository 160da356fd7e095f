# frozen_string_literal: true

# Crash logs the fuzz run of the helper scripts (fuzz/fuzz_crashlog.rb) found
# mishandled; each stays here so that the fault cannot come back unnoticed.
# Their inputs are also replayed by the fuzz run from fuzz/regressions/.

require_relative 'script_helper'

class CrashLogRegressionTest < Minitest::Test
  include ScriptHelper

  def related_status(content)
    run_script('related-crash-report', write_log(content)).last
  end

  def summary(content)
    output, status = run_script('extract-crash-info', write_log(content))
    [output.dup.force_encoding(Encoding::UTF_8), status]
  end

  # A NUL byte in an image's path (a damaged log) made the image's name raise,
  # which failed the whole script: related-crash-report said "no crash log"
  # even for a crashed frame named after Vellumdrift.
  def test_a_nul_byte_in_an_unrelated_image_path_does_not_hide_a_related_crash
    # Frame 0 lies in no listed image, so its image is looked up by name,
    # which names every image, the damaged one too.
    log = "Process:         Finder [99]\nCrashed Thread:  0\n\nThread 0 Crashed:\n" \
          "0   libfoo.dylib 0x0000000000000001 foo + 1\n1   VellumdriftCore 0x0000000000000002 bar + 2\n\n" \
          "Binary Images:\n0x10c4d0000 - 0x10c4f7fff +libbar ??? /usr/lib/lib\0bar.dylib\n"
    assert_equal 1, related_status(log)
    assert_equal ['Crash in VellumdriftCore: bar + 2', 0], summary(log)
  end

  def test_a_nul_byte_in_the_vellumdrift_image_path_still_gives_a_summary
    log = "Process:         Finder [99]\nException Type:  EXC_CRASH (SIGABRT)\n\n" \
          "Last Exception Backtrace:\n(0x7fff3f0c1a2d 0x10c4d5e71)\n\n" \
          "Binary Images:\n0x10c4d0000 - 0x10c4f7fff +VellumdriftFinderSync ??? " \
          "/Applications/Vellumdrift.app/Contents/MacOS/Vellum\0drift\n"
    assert_equal 1, related_status(log)
    # The NUL is no printable character and becomes a space in the summary.
    assert_equal ['EXC_CRASH (SIGABRT) in Vellum drift + 24177', 0], summary(log)
  end

  # An exception type of format characters alone left an empty summary, and
  # extract-crash-info exited 2 ("no crash log") on a crash log.
  def test_an_unprintable_exception_type_falls_back_to_the_next_one
    log = related_with('EXC_BAD_ACCESS (SIGSEGV)', "\u200b\u200e".b)
    assert_equal 'Segmentation fault: 11 in VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:] + 112',
                 summary(log).first
    bare = "Process: Finder [1]\r\nException Type: \u200b\r\nCrashed Thread: 0\r\n\r\nThread 0 Crashed:\r\n0 a 0x1\r\n"
    assert_equal 0, related_status(bare)
    assert_equal ['Crash', 0], summary(bare)
  end

  # Frame lines whose image column is a run of blanks still read as frames
  # when the column is there, and a line of blanks alone is no frame.
  def test_blank_runs_around_the_image_column_keep_their_meaning
    wide = fixture('finder-related.crash').sub("1   com.vellumdrift.VellumdriftFinderSync\t",
                                                "1#{"\t" * 300}com.vellumdrift.VellumdriftFinderSync#{' ' * 300}")
    assert_equal 1, related_status(wide)
    assert_equal 'EXC_BAD_ACCESS (SIGSEGV) in VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:] + 112',
                 summary(wide).first
    blanks = "Process: Finder [1]\nCrashed Thread: 0\n\nThread 0 Crashed:\n0#{"\v" * 3000}x\n"
    assert_equal 0, related_status(blanks)
    assert_equal ['Crash', 0], summary(blanks)
  end
end
