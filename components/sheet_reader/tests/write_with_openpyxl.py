#!/usr/bin/python3
"""Writes the workbooks the reader's tests read, with openpyxl (a writer other
than ours), into the folder given as the only argument. Exits 3 when openpyxl
is missing, so the tests can say so instead of failing on a missing writer."""
import datetime
import os
import sys

try:
    import openpyxl
    from openpyxl.cell.rich_text import CellRichText, TextBlock
    from openpyxl.cell.text import InlineFont
except ImportError:
    try:
        import openpyxl  # noqa: F811 - older openpyxl without rich text
        CellRichText = None
    except ImportError:
        sys.exit(3)

folder = sys.argv[1]

wb = openpyxl.Workbook()
ws = wb.active
ws.title = "计划"
ws["A1"] = "序号"
ws["B1"] = "张三"            # a merged header over B1:C1
ws.merge_cells("B1:C1")
ws["A2"] = 1
ws["B2"] = 120
ws["C2"] = 2.5
ws["A3"] = 2
ws["C3"] = -7                # B3 empty
ws["A5"] = "销售额（箱）"    # row 4 missing altogether
ws["E5"] = 1e-3              # D5 skipped
ws["A6"] = datetime.date(2026, 12, 10)
ws["B6"] = datetime.datetime(2026, 12, 10, 18, 0)
ws["B6"].number_format = "yyyy\"年\"m\"月\"d\"日\" hh:mm"
ws["C6"] = 45000             # a number in a plain style stays a number
ws["A7"] = True
second = wb.create_sheet("第二页")
second["A1"] = "不应读到"
wb.save(os.path.join(folder, "openpyxl.xlsx"))

wb = openpyxl.Workbook()
ws = wb.active
ws["A5"] = 2
ws["B5"] = 3
ws["C5"] = "=A5*B5"          # openpyxl stores no result for a formula
wb.save(os.path.join(folder, "openpyxl_formula.xlsx"))
