# frozen_string_literal: true

# One small crash log per format class macOS has written (fixtures/), each
# judged, summarised and redacted by the real scripts.

require_relative 'script_helper'
require 'json'

class CrashLogFormatsTest < Minitest::Test
  include ScriptHelper

  # fixture => [verdict, summary]
  VERDICTS = {
    'tiger-10.4.crash.log' => [1, 'EXC_BAD_ACCESS (0x0001) in Vellumdrift: -[VDContextMenu menuForItems:] + 412'],
    'snow-leopard-truncated.crash' => [1, 'EXC_BAD_ACCESS (SIGSEGV) in Acme Overlay: -[VDOverlayIcon drawInRect:] + 93'],
    'asi-single-space.crash' => [1, 'EXC_CRASH (SIGABRT) in application info: VellumdriftCore: no sync root for ' \
                                    'file:///Users/USER/Documents/Budget%202020.numbers (reported to [redacted] from ' \
                                    '[redacted])'],
    'last-exception-backtrace.crash' => [1, 'EXC_CRASH (SIGABRT) in VellumdriftFinderSync: ' \
                                            '-[VDSidebarSection itemAtIndex:] + 52'],
    'app-specific-backtrace.crash' => [1, 'EXC_CRASH (SIGABRT) in Vellumdrift + 51070'],
    'finder-sonoma.ips' => [1, 'EXC_BAD_ACCESS (SIGSEGV) in VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:] + 112'],
    'unsymbolicated-in-range.crash' => [1, 'EXC_BAD_ACCESS (SIGBUS) in VellumdriftFinderSync + 107976'],
    'loaded-not-involved.crash' => [0, 'EXC_BREAKPOINT (SIGTRAP)']
  }.freeze

  # fixture => [texts the upload must not hold, texts it must keep, lines changed]
  REDACTIONS = {
    'tiger-10.4.crash.log' => [%w[Ilvards-PowerBook], ['Host Name:      [redacted]', 'Contextual Menu Items/Vellumdrift'], 2],
    'snow-leopard-truncated.crash' => [%w[8D3F0B27-6C1E-4A95-B7D2-0E4C9A51F386],
                                       ['(5.10.131.42.4)', '<9B1E0A42-7D58-3C06-A2F1-5E83C7D40B19>',
                                        'com.acme-soft.finderplugins.v '], 1],
    'asi-single-space.crash' => [%w[2050052406 1C7B2E90-4A3D-4F61-8E05-B9D2A64C7F13 F0A52C19-83BE-4D07-9C64-2E7A1B05D8C3
                                    mkessler ilvardt ilvard.tamm@example.org 192.168.1.23],
                                 ['/Users/USER/build/VDCore/VDRoots.c, line 88.', "88.\n \nVellumdriftCore: no sync root",
                                  'User ID:               [redacted]', 'com.apple.main-thread'], 5],
    'last-exception-backtrace.crash' => [%w[4E8A1D62-0B7C-4F39-A5E6-93C2D07B1F48 6B2D94E0-1F7A-4C83-9E15-A08C3D72B6F1],
                                         ['index 4 beyond bounds [0 .. 3]', 'com.vellumdrift.VellumdriftFin'], 3],
    'app-specific-backtrace.crash' => [%w[D2B6E804-3A5F-4C17-8B90-7E1F4A6C2D35], ['0x0 + 4355901310', '(??? - ???)'], 2],
    'finder-sonoma.ips' => [%w[A3F0C2D9-6E41-8B7C-2D05-F19E3A7B64C8 C61D0A94-7E3B-4F25-9D80-2B5E17A4C3F9
                               5E2B7A10-C4D9-4E38-A061-9F3D82B5C7E4 ilvardt],
                            ['"userID" : "[redacted]"', '\/Users\/USER\/Applications\/Vellumdrift.app',
                             'Taxes 2023.pdf on HOST.local', '"incident_id":"7B3E9C21-4A6D-4F80-B5E2-0D19C84A7F36"',
                             '"logWritingSignature" : "0d7f2c19e84b36a5d1f0c97e24b8a3d56e1f7092"'], 6],
    'unsymbolicated-in-range.crash' => [%w[93E0C4B2-7A1D-4F58-B6E3-0C9D25A18F74 2A7F6C01-D3E9-4B58-8C14-F60B9E27A3D5],
                                        ['0x104e20000 + 107976', "Thread 0:: Dispatch queue: com.apple.main-thread\n"], 3],
    'loaded-not-involved.crash' => [%w[0F3B8E61-2C7D-4A95-B1E0-5D7A94C2F863],
                                    ['<00000000-0000-0000-0000-000000000000> ???', 'TNodeSyncTask::SyncTaskProc(void*)'], 3]
  }.freeze

  def verdict(content = nil, path: write_log(content))
    run_script('related-crash-report', path).last
  end

  def summary(content = nil, env: {}, path: write_log(content))
    output, status = run_script('extract-crash-info', path, env: env)
    assert_equal 0, status, last_stderr
    output.force_encoding(Encoding::UTF_8)
  end

  def test_every_format_is_judged_and_summarised
    VERDICTS.each do |name, (expected_verdict, expected_summary)|
      # Whatever the file is called.
      path = write_log(fixture(name), "report-#{name.tr('.', '_')}")
      assert_equal expected_verdict, verdict(path: path), name
      assert_equal expected_summary, summary(path: path), name
    end
  end

  def test_variants_of_the_formats
    ips = fixture('finder-sonoma.ips')
    tiger = fixture('tiger-10.4.crash.log').split(/^(?=\*{10})/)
    asi = fixture('asi-single-space.crash')
    {
      'the .ips document without its metadata line' => [ips.split("\n", 2).last, 1],
      'the .ips document on one line' => [JSON.generate(JSON.parse(ips.split("\n", 2).last)), 1],
      'an .ips whose faulting thread has no Vellumdrift frame' => [ips.sub('"faultingThread" : 0', '"faultingThread" : 1')
                                                                      .sub('"triggered":true,', ''), 1],
      'an .ips with Vellumdrift only loaded' => [ips.sub('"imageIndex":1}', '"imageIndex":0}'), 0],
      # Its metadata line names the process and the OS: a crash log, though nothing of it is related.
      'an .ips cut short' => [ips[0, ips.length / 2], 0],
      'an older .ips: metadata, then a text report' => ["#{ips.lines.first}#{fixture('finder-related.crash')}", 1],
      'a 10.4 log whose newest report is not related' => [tiger.reverse.join, 0],
      'application-specific information after an empty line' => [asi.sub("\n \n", "\n\n"), 1],
      'application-specific information without the mention' => [asi.sub(/^VellumdriftCore: .*\n/, ''), 0],
      'a 10.4 report with no Command' => [tiger.last.sub(/^Command:.*\n/, ''), 2],
      'a report copied from the crash dialog' => [translated, 1],
      'an exception backtrace as addresses over several lines' =>
        [fixture('last-exception-backtrace.crash').sub(/^4   com.vellumdrift.*\n/, "(0x7fff2e4a5b57\n0x110c3e1d4)\n"), 1]
    }.each do |what, (content, expected)|
      assert_equal expected, verdict(content), what
    end
  end

  def test_what_leaves_the_machine
    REDACTIONS.each do |name, (removed, kept, changed)|
      sent = shown(fixture(name))
      removed.each { |text| refute_includes sent, text, "#{name} still holds #{text}" }
      kept.each { |text| assert_includes sent, text, "#{name} lost #{text}" }
      original = fixture(name).force_encoding(Encoding::UTF_8).lines
      assert_equal original.size, sent.lines.size, "#{name}: no line lost or added"
      assert_equal changed, original.zip(sent.lines).count { |a, b| a != b }, "#{name}: lines changed"
    end
    ips = shown(fixture('finder-sonoma.ips')).split("\n", 2)
    assert(ips.all? { |part| JSON.parse(part) }, 'both parts of the .ips stay JSON')
    copied = shown(translated)
    assert_includes copied, '"crashReporterKey" : "[redacted]"'
    assert_includes copied, "Anonymous UUID:        [redacted]\n"
  end

  # One form of each class of identifier real crash logs hold => what is sent,
  # in a line of free text (the application-specific information; a string of
  # the JSON report). The log's file name names the host alices-mbp.
  FREE_FORMS = {
    'peer (192.0.2.2) refused, server at 10.1.2.3.' => 'peer ([redacted]) refused, server at [redacted].',
    'via ::ffff:192.0.2.1, 2001:db8::7. and fe80::1%en0' => 'via [redacted], [redacted]. and [redacted]',
    'synced with alices-mbp.lan, Alices-MBP.fritz.box and alices-mbp.example.org' =>
      'synced with HOST.lan, HOST.fritz.box and HOST',
    'printer brw.local; nas.home.arpa, Bobs-iMac.lan.' => 'printer HOST.local; HOST.home.arpa, HOST.lan.',
    'owner jörg@bücher.example (ünal@example.com)' => 'owner [redacted] ([redacted])',
    'mailto:carol%40example.com, admin@localhost, dave@1und1.de.' => 'mailto:[redacted], [redacted], [redacted].',
    'MAC a483.e712.3458, 0:1b:63:84:45:e6 and 00-1B-63-84-45-E6.' => 'MAC [redacted], [redacted] and [redacted].',
    'Model: MacBookPro11,5, Serial Number C02XK0ABJGH5, UID 2050052406' =>
      'Model: MacBookPro11,5, Serial Number [redacted], UID [redacted]',
    'in /Volumes/Backup HD/Users/bob/x and /System/Volumes/Data/Users/bob/Library' =>
      'in /Volumes/Backup HD/Users/USER/x and /System/Volumes/Data/Users/USER/Library',
    '/Volumes/TM/Backups.backupdb/Alices-iMac/2024-03-14-094127/Macintosh HD/Users/bob/Documents' =>
      '/Volumes/TM/Backups.backupdb/HOST/2024-03-14-094127/Macintosh HD/Users/USER/Documents',
    # Kept: versions, images at a scale, serial queues, bundle identifiers, UUIDs.
    'Vellumdrift (5.10.131.42.4) Icon@2x.png on a serial queue of com.apple.alices-mbp' =>
      'Vellumdrift (5.10.131.42.4) Icon@2x.png on a serial queue of com.apple.alices-mbp',
    'dead::beef <9B1E0A42-7D58-3C06-A2F1-5E83C7D40B19> 12:30:45' => 'dead::beef <9B1E0A42-7D58-3C06-A2F1-5E83C7D40B19> 12:30:45'
  }.freeze
  # Lines of a text report, and members of a JSON one, whose key names what they hold.
  KEYED_FORMS = {
    "Serial:             C02XK0ABJGH5\n" => "Serial:             [redacted]\n",
    "Hardware Serial:    C02XK0ABJGH5\n" => "Hardware Serial:    [redacted]\n",
    "UID:                2050052406\n" => "UID:                [redacted]\n",
    "Path:   /System/Volumes/Data/Users/bob/Applications/X.app/X\n" => "Path:   /System/Volumes/Data/Users/USER/Applications/X.app/X\n",
    "   0x10c600000 -  0x10c6dffff +com.example.X (1.0) <E94B2D07-51C8-3F6A-B03D-8A7C16E2F945> /Volumes/D/Users/bob/X\n" =>
      "   0x10c600000 -  0x10c6dffff +com.example.X (1.0) <E94B2D07-51C8-3F6A-B03D-8A7C16E2F945> /Volumes/D/Users/USER/X\n",
    '"uid" : 2050052406,' => '"uid" : "[redacted]",', '"deviceID" : "3F2A-99",' => '"deviceID" : "[redacted]",',
    '"isSerial" : true,' => '"isSerial" : true,',
    '"procPath" : "\/System\/Volumes\/Data\/Users\/bob\/X",' => '"procPath" : "\/System\/Volumes\/Data\/Users\/USER\/X",',
    '"vmRegionInfo" : "mapped file \/Volumes\/D\/Users\/bob\/a.db",' => '"vmRegionInfo" : "mapped file \/Volumes\/D\/Users\/USER\/a.db",'
  }.freeze

  def test_every_form_of_an_identifier
    name = 'Finder_2024-03-14-094127_alices-mbp.crash'
    keyed_text, keyed_json = KEYED_FORMS.partition { |from, _| from.end_with?("\n") }
    text = related_with("objc_msgSend() selector name: URLByStandardizingPath\n", FREE_FORMS.keys.map { |f| "#{f}\n" }.join)
           .sub("User ID:               501\n", keyed_text[0, 4].map(&:first).join)
           .sub("Binary Images:\n", "Binary Images:\n#{keyed_text.last.first}")
    sent = shown(path: write_log(text, name)).lines
    FREE_FORMS.merge(keyed_text.to_h).each { |from, to| assert_includes sent, to.end_with?("\n") ? to : "#{to}\n", from }
    assert_equal text.lines.size, sent.size

    ips = fixture('finder-sonoma.ips').sub('"asi" : {"Finder":[', "#{keyed_json.map(&:first).join(' ')} \"asi\" : {\"Finder\":[" \
                                                                   "#{FREE_FORMS.keys.map { |f| JSON.generate(f) }.join(', ')}, ")
    sent = shown(path: write_log(ips, name.sub('.crash', '.ips')))
    FREE_FORMS.each_value { |to| assert_includes sent, JSON.generate(to) }
    keyed_json.each { |from, to| assert_includes sent, to, from }
    JSON.parse(sent.split("\n", 2).last)
  end

  ACCOUNTS = %w[main start admin user test].freeze

  # Every frame stays as it is, whatever the account is called; the name
  # still goes where it stands for the person.
  def test_frames_are_kept_for_accounts_named_like_their_words
    frames = ["0   dyld                          \t0x00007ff80f1e1366 start + 2544\n",
              "1   Finder                        \t0x000000010a1b3f00 main + 128\n",
              "2   com.vellumdrift.VellumdriftFinderSync\t0x000000010c4d5e71 -[VDSession user] + 8\n",
              "3   libadmin.dylib                \t0x00007ff80f1e2000 admin_check(test*) + 4\n",
              "4   XCTest                        \t0x00007ff80f1e3000 test + 1\n"]
    kept = ["Thread 7 name:  main\n", "asi 0x00000001047e3ed0 main + 128 in -[VDAdmin test user]\n",
            "Terminating Process:   start [412]\n", *frames]
    text = related_with("Binary Images:\n", "Thread 7 name:  main\nThread 7:\n#{frames.join}\nBinary Images:\n")
           .sub("objc_msgSend() selector name: URLByStandardizingPath\n", "#{kept[1]}Opened by ACCOUNT\n")
           .sub("Terminating Process:   exc handler [412]\n", kept[2])
    backtrace = JSON.generate(frames.join)
    ips = fixture('finder-sonoma.ips').sub('"asi" : {', "\"asiBacktraces\" : [#{backtrace}], \"asi\" : {")
                                      .sub('"triggered":true,', '"triggered":true,"name":"main",')
    ACCOUNTS.each do |account|
      env = { 'USER' => account, 'LOGNAME' => account }
      sent = shown(text.sub('ACCOUNT', account), env: env).lines
      kept.each { |line| assert_includes sent, line, account }
      assert_includes sent, "Opened by USER\n", account
      sent = shown(ips, env: env)
      [backtrace, '"name":"main"'].each { |part| assert_includes sent, part, account }
    end
  end

  # macOS 12's crash dialog copies the text report, then the JSON one.
  def translated
    "-------------------------------------\nTranslated Report (Full Report Below)\n" \
      "-------------------------------------\n\n#{fixture('finder-related.crash')}\n\nFull Report\n===========\n\n" \
      "#{fixture('finder-sonoma.ips')}"
  end

  # Names are replaced where they stand for a person or a path component,
  # never inside bundle identifiers, symbols or frames.
  def test_account_names_that_are_also_words
    log = related_with("objc_msgSend() selector name: URLByStandardizingPath\n",
                       "Opened by apple from /Users/apple/Desktop and /home/finder/x for finder\n")
    apple = shown(log, env: { 'USER' => 'apple', 'LOGNAME' => 'apple' })
    assert_includes apple, 'Opened by USER from /Users/USER/Desktop'
    assert_equal log.scan('com.apple.').size, apple.scan('com.apple.').size
    finder = shown(log, env: { 'USER' => 'finder', 'LOGNAME' => 'finder' })
    assert_includes finder, 'and /home/USER/x for USER'
    assert_includes finder, 'Identifier:            com.apple.finder'
    assert_includes finder, "17  com.apple.finder              \t0x000000010a1c4e5d"
    home = related_with('/Applications/Vellumdrift.app/Contents/PlugIns',
                        "#{@home}/Applications/Vellumdrift.app/Contents/PlugIns")
    assert_includes shown(home), ' ~/Applications/Vellumdrift.app/Contents/PlugIns/VellumdriftFinderSync.appex'
    assert_includes summary(log, env: { 'USER' => 'apple' }), 'in VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:]'
  end
end
