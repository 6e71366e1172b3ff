#include "client/remote_logging.h"

int main() {
  (void)nolv::install_logger(3);
  return 0;
}
