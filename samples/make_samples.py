#!/usr/bin/python3
"""Writes the sample tables of the "Samples" folder: three small Visual FoxPro
free tables (0x30 tables with .fpt memo files, code page 1252) about an
invented stationery wholesaler, with text, numeric, date, logical and memo
fields for Quillon to find and replace in.

Usage: make_samples.py [FOLDER]   (default: the folder of this script)

Needs python3-dbf (Debian package python3-dbf). The generated files are
checked in, so building Quillon does not need Python; run this again only to
change the samples.
"""
import datetime
import os
import sys

import dbf

D = datetime.date

CUSTOMERS = (
    'cust_id C(6); company C(40); contact C(30); street C(40); city C(25); '
    'postcode C(10); country C(20); phone C(20); credit N(10,2); since D; notes M')
CUSTOMER_ROWS = [
    ('C001', 'Harbour Lights Trading', 'Maren Oakes', '12 Old Market Street', 'Kingsbridge',
     'KB1 4QT', 'United Kingdom', '+44 1632 960123', 2500.00, D(2015, 3, 2),
     'Prefers delivery before noon. Ask for Maren at the Old Market Street entrance.'),
    ('C002', 'Blue Heron Books', 'Tomas Lindqvist', '4 Ferry Road', 'Portwen',
     'PW2 7LD', 'United Kingdom', '+44 1632 960456', 1200.00, D(2017, 9, 14),
     'Orders paper by the pallet in September.'),
    ('C003', 'Café Olé', 'Zoë Fairweather', '88 Canal Walk', 'Kingsbridge',
     'KB3 9AA', 'United Kingdom', '+44 1632 960789', 300.00, D(2021, 1, 20),
     'Small account. Pays by card.'),
    ('C004', 'Northwind Stationers', 'Priya Raman', '230 Lantern Avenue', 'Eastmere',
     'EM5 2RT', 'United Kingdom', '+44 1632 960222', 8000.00, D(2012, 6, 30),
     'Largest customer. Old Market Street warehouse closed in 2020; deliver to Lantern Avenue.'),
    ('C005', 'Fenwick & Daughters', 'Alan Fenwick', '3 Mill Lane', 'Portwen',
     'PW1 1BB', 'United Kingdom', '+44 1632 960333', 1500.00, D(2019, 11, 5),
     ''),
    ('C006', 'Kestrel Office Supplies', 'Hana Kobayashi', '17 Orchard Row', 'Westholm',
     'WH4 6PE', 'United Kingdom', '+44 1632 960444', 4000.00, D(2016, 2, 18),
     'Invoice the head office, not the branch.'),
    ('C007', 'Lindqvist Print Works', 'Erik Lindqvist', '9 Foundry Yard', 'Eastmere',
     'EM1 8JW', 'United Kingdom', '+44 1632 960555', 0.00, D(2023, 4, 3),
     'New customer; credit limit to be agreed.'),
    ('C008', 'Greenleaf School', 'Ada Mensah', '1 College Hill', 'Kingsbridge',
     'KB2 5HS', 'United Kingdom', '+44 1632 960666', 750.00, D(2018, 8, 27),
     'Term-time deliveries only.'),
]

ORDERS = 'order_no N(6,0); cust_id C(6); ordered D; shipped L; amount N(10,2); ship_via C(20); comment M'
ORDER_ROWS = [
    (1001, 'C001', D(2024, 1, 8), True, 412.50, 'Carrier', 'Two boxes of A4 copier paper, one of envelopes.'),
    (1002, 'C004', D(2024, 1, 9), True, 2310.00, 'Own van', 'Deliver to the Old Market Street warehouse.'),
    (1003, 'C002', D(2024, 1, 15), True, 96.20, 'Post', ''),
    (1004, 'C003', D(2024, 2, 1), True, 38.75, 'Post', 'Receipt rolls.'),
    (1005, 'C006', D(2024, 2, 12), True, 1288.40, 'Carrier', 'Back order: 40 lever arch files.'),
    (1006, 'C004', D(2024, 3, 3), False, 3075.00, 'Own van', 'Old Market Street warehouse again; confirm.'),
    (1007, 'C005', D(2024, 3, 4), True, 152.00, 'Carrier', 'Fenwick & Daughters asked for a proforma.'),
    (1008, 'C008', D(2024, 3, 18), False, 640.90, 'Own van', 'Exercise books for the summer term.'),
    (1009, 'C001', D(2024, 4, 2), False, 87.10, 'Post', 'Harbour Lights Trading: sample pack.'),
    (1010, 'C007', D(2024, 4, 9), False, 0.00, 'Carrier', 'Quote only.'),
]

PRODUCTS = 'code C(8); name C(40); price N(8,2); in_stock N(5,0); supplier C(30); descr M'
PRODUCT_ROWS = [
    ('PAP-A4', 'Copier paper A4 80gsm, box of 5 reams', 21.90, 340, 'Millbrook Paper Co',
     'Bright white copier paper, 2500 sheets a box.'),
    ('PAP-A3', 'Copier paper A3 80gsm, box of 5 reams', 39.50, 45, 'Millbrook Paper Co',
     'Bright white copier paper for A3 printers.'),
    ('ENV-DL', 'Envelopes DL, box of 500', 12.40, 210, 'Ferrous Envelope Ltd',
     'Self-seal, white, with window.'),
    ('FIL-LAF', 'Lever arch file, black', 2.35, 0, 'Ferrous Envelope Ltd',
     'Out of stock until the supplier restocks.'),
    ('BOO-EX', 'Exercise book A4, 48 pages, pack of 10', 6.80, 96, 'Millbrook Paper Co',
     'Ruled 8mm with margin.'),
    ('ROL-57', 'Receipt roll 57mm, pack of 20', 9.95, 60, 'Tillside Rolls',
     ''),
]


def write(folder, name, fields, rows):
    path = os.path.join(folder, name + '.dbf')
    for suffix in ('.dbf', '.fpt'):
        stale = os.path.join(folder, name + suffix)
        if os.path.exists(stale):
            os.remove(stale)
    table = dbf.Table(path, fields, dbf_type='vfp', codepage='cp1252')
    table.open(dbf.READ_WRITE)
    try:
        for row in rows:
            table.append(row)
    finally:
        table.close()


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    write(folder, 'customers', CUSTOMERS, CUSTOMER_ROWS)
    write(folder, 'orders', ORDERS, ORDER_ROWS)
    write(folder, 'products', PRODUCTS, PRODUCT_ROWS)


if __name__ == '__main__':
    main()
