#include "front/results.h"

const Status& Reported(const Backend& backend, uint8_t box, const Status& status) {
  return ReportFailure(backend.kind, box, status);
}
