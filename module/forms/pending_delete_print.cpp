// 删除, 删行 and 打印 land with the deletion and printout; until then the buttons do nothing.
#include "Unit_saleplan.h"

void TFm_saleplan::tbdelClick() {}
void TFm_saleplan::tbokClick() {}
void TFm_saleplan::tbprintClick() {}
