// 编辑 opens the quantity editor once it lands; until then the button does nothing.
#include "Unit_saleplan.h"

void TFm_saleplan::tbeditClick() {}
