// orvane.ledger (in progress).
#include "support/host.hpp"

NB_MODULE(ledger, m) {}
