#include "relay_test_util.h"


namespace relay_test {

bool cpu_has_aes_ni()
{
    return __builtin_cpu_supports("aes") && __builtin_cpu_supports("pclmul") &&
           __builtin_cpu_supports("ssse3");
}

}  // namespace relay_test
