// The shop backup of bench/src/shop_backup.hpp, built as the object a page hands to
// saveBackup: same word list, same LCG, same order of draws, so JSON.stringify(object) is
// byte for byte the text the C++ generator writes.
'use strict';

function makeRng() {
  let s = 20240515;
  const next = () => (s = (Math.imul(s, 1664525) + 1013904223) >>> 0);
  const below = (n) => (next() >>> 8) % n;
  return { below, pick: (v) => v[below(v.length)] };
}

const pad = (value, width) => String(value).padStart(width, '0');

function shopBackup(w, units) {
  const r = makeRng();
  const products = [];
  for (let i = 1; i <= units; ++i) {
    const product = r.pick(w.products);
    const brand = r.pick(w.brands);
    const category = r.pick(w.categories);
    const unit = r.pick(w.units);
    const cost = (1 + r.below(5000)) * 1000;
    const price = cost + (1 + r.below(50)) * 500;
    const stock = r.below(500);
    const minStock = r.below(20);
    products.push({ id: i, code: 'P-' + pad(i, 6), name: product + ' ' + brand, category, unit,
                    price, cost, stock, minStock });
  }
  const customers = [];
  for (let i = 1; i <= units; ++i) {
    const first = r.pick(w.firstNames);
    const last = r.pick(w.lastNames);
    const city = r.pick(w.cities);
    const street = r.pick(w.streets);
    const plate = 1 + r.below(200);
    const phone = '0912' + pad(r.below(10000000), 7);
    const balance = r.below(2000000) * 100;
    const note = r.pick(w.notes);
    customers.push({ id: i, name: first + ' ' + last, phone, city,
                     address: street + '، پلاک ' + plate, balance, note });
  }
  const invoices = [];
  for (let i = 1; i <= 4 * units; ++i) {
    const customerId = 1 + r.below(units);
    const month = 1 + r.below(12);
    const day = 1 + r.below(29);
    const count = 1 + r.below(5);
    const items = [];
    let sum = 0;
    for (let k = 0; k < count; ++k) {
      const productId = 1 + r.below(units);
      const qty = 1 + r.below(10);
      const price = (1 + r.below(5000)) * 1000;
      sum += qty * price;
      items.push({ productId, qty, price });
    }
    const discount = Math.floor(sum * r.below(10) / 100);
    const paid = r.below(4) !== 0;
    const note = r.pick(w.notes);
    invoices.push({ id: i, number: 'INV-1403-' + pad(i, 6),
                    date: '1403/' + pad(month, 2) + '/' + pad(day, 2), customerId, items,
                    discount, total: sum - discount, paid, note });
  }
  return { format: 'tarno-vesk-backup', version: 3, createdAt: '1403/02/15 10:20',
           shop: { name: w.shop, city: w.shopCity, currency: w.currency },
           products, customers, invoices };
}
