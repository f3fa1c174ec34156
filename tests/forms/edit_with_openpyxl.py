#!/usr/bin/python3
"""Another program's hand on an exported workbook, as a planner's spreadsheet
program would touch it:
  edit_with_openpyxl.py edit IN OUT CELL=VALUE...   numbers as numbers, else text
  edit_with_openpyxl.py sheets IN                   the tabs' names, one a line
  edit_with_openpyxl.py frozen IN                   the first tab's frozen corner"""
import sys

import openpyxl

command, source = sys.argv[1], sys.argv[2]
book = openpyxl.load_workbook(source)
if command == "sheets":
    print("\n".join(book.sheetnames))
elif command == "frozen":
    print(book.worksheets[0].freeze_panes)
elif command == "edit":
    sheet = book.worksheets[0]
    for change in sys.argv[4:]:
        cell, value = change.split("=", 1)
        try:
            sheet[cell] = float(value) if "." in value else int(value)
        except ValueError:
            sheet[cell] = value
    book.save(sys.argv[3])
    print("saved")
else:
    sys.exit(2)
