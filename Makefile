# Short names for the project's scripts; each target calls one script (in tools/, or bench/run).
.PHONY: test windows windows-test bench

test:            ## build and run the whole suite three ways (plain, ASan+UBSan, TSan)
	tools/test-all

windows:         ## cross-build tavo.exe, the example and the test programs (build-win/)
	tools/windows-test --build-only

windows-test:    ## the Windows build, and its test programs run under Wine
	tools/windows-test

bench:           ## release build, then the benchmark table (tavo vs picocom, cat, floor loops)
	bench/run
