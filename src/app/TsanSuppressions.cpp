// Thread-sanitizer builds only. Boost.Regex hands its matcher's scratch
// blocks from thread to thread through a cache whose atomics run inside the
// uninstrumented shared library, so the sanitizer never sees the hand-off and
// reports a race between two matches on different threads (the control
// thread's connection ids, the main loop's certificate fields). The runtime
// reads this list at start-up, whatever TSAN_OPTIONS says.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:boost::re_detail_*::saved_state::saved_state\n"
           "race:boost::re_detail_*::perl_matcher*::push_*\n"
           "race:boost::re_detail_*::save_state_init::save_state_init\n";
}
