// orvane.goal (in progress).
#include "support/host.hpp"

NB_MODULE(goal, m) {}
