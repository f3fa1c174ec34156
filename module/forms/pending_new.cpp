// 生成 opens the plan month dialog once it lands; until then the button does nothing.
#include "Unit_saleplan.h"

void TFm_saleplan::tbnewClick() {}
