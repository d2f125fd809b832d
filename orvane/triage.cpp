// orvane.triage (in progress).
#include "support/host.hpp"

NB_MODULE(triage, m) {}
