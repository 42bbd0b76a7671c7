'use strict';

(function () {
    const PERSIAN_DIGITS = '۰۱۲۳۴۵۶۷۸۹';

    // Digits and the thousands separator are written out by hand: not every
    // engine ships the fa locale data that toLocaleString('fa-IR') needs.
    function faDigits(text) {
        return String(text).replace(/[0-9]/g, (d) => PERSIAN_DIGITS[Number(d)]);
    }

    function faNumber(n) {
        const grouped = String(Math.round(n)).replace(/\B(?=(\d{3})+(?!\d))/g, '٬');
        return faDigits(grouped);
    }

    const LOW_STOCK = 10;

    const products = [
        { code: 'P-101', name: 'برنج طارم هاشمی', unit: 'کیسهٔ ۱۰ کیلویی', stock: 42, price: 1850000 },
        { code: 'P-102', name: 'روغن آفتابگردان', unit: 'بطری ۱٫۵ لیتری', stock: 8, price: 265000 },
        { code: 'P-103', name: 'چای سیاه لاهیجان', unit: 'بستهٔ ۵۰۰ گرمی', stock: 27, price: 340000 },
        { code: 'P-104', name: 'شکر سفید', unit: 'کیلوگرم', stock: 65, price: 52000 },
        { code: 'P-105', name: 'زعفران قائنات', unit: 'مثقال', stock: 5, price: 720000 },
        { code: 'P-106', name: 'پنیر لیقوان', unit: 'کیلوگرم', stock: 14, price: 410000 },
    ];

    const customers = [
        { id: 'C-1', name: 'مریم احمدی', phone: '09121234567', city: 'تهران' },
        { id: 'C-2', name: 'علی رضایی', phone: '09359876543', city: 'اصفهان' },
        { id: 'C-3', name: 'زهرا کریمی', phone: '09131112233', city: 'شیراز' },
    ];

    const invoices = [
        {
            number: '1403-0012',
            date: '1403/08/21',
            customer: 'C-1',
            lines: [
                { product: 'P-101', quantity: 1, price: 1850000 },
                { product: 'P-103', quantity: 2, price: 340000 },
                { product: 'P-104', quantity: 3, price: 52000 },
            ],
        },
        {
            number: '1403-0013',
            date: '1403/08/22',
            customer: 'C-2',
            lines: [
                { product: 'P-105', quantity: 1, price: 720000 },
                { product: 'P-106', quantity: 2, price: 410000 },
            ],
        },
        {
            number: '1403-0014',
            date: '1403/08/23',
            customer: 'C-3',
            lines: [
                { product: 'P-102', quantity: 4, price: 265000 },
                { product: 'P-104', quantity: 5, price: 52000 },
            ],
        },
    ];

    function invoiceTotal(invoice) {
        return invoice.lines.reduce((sum, line) => sum + line.quantity * line.price, 0);
    }

    function sampleBackup() {
        return {
            app: 'tarno-vesk-demo',
            shop: 'فروشگاه تارنو',
            created_at: new Date().toISOString(),
            products: products,
            customers: customers,
            invoices: invoices.map((inv) => Object.assign({ total: invoiceTotal(inv) }, inv)),
        };
    }

    function cell(row, text, className) {
        const td = document.createElement('td');
        td.textContent = text;
        if (className) td.className = className;
        row.appendChild(td);
        return td;
    }

    function renderStock() {
        const body = document.getElementById('stock-body');
        let value = 0;
        let low = 0;
        for (const p of products) {
            const row = document.createElement('tr');
            cell(row, faDigits(p.code.replace('P-', '')), 'code');
            cell(row, p.name, 'name');
            cell(row, p.unit, 'unit muted');
            cell(row, faNumber(p.stock), 'num');
            cell(row, faNumber(p.price), 'num');
            const isLow = p.stock < LOW_STOCK;
            const state = cell(row, '');
            const pill = document.createElement('span');
            pill.className = isLow ? 'pill pill-low' : 'pill pill-ok';
            pill.textContent = isLow ? 'رو به اتمام' : 'کافی';
            state.appendChild(pill);
            body.appendChild(row);
            value += p.stock * p.price;
            if (isLow) low += 1;
        }
        document.getElementById('stat-count').textContent = faNumber(products.length);
        document.getElementById('stat-value').textContent = faNumber(value) + ' تومان';
        document.getElementById('stat-low').textContent = faNumber(low);
    }

    function renderReceipt() {
        const invoice = invoices[0];
        const body = document.getElementById('receipt-body');
        for (const line of invoice.lines) {
            const product = products.find((p) => p.code === line.product);
            const row = document.createElement('tr');
            cell(row, product ? product.name : line.product);
            cell(row, faNumber(line.quantity), 'num');
            cell(row, faNumber(line.quantity * line.price), 'num');
            body.appendChild(row);
        }
        document.getElementById('receipt-no').textContent = faDigits(invoice.number);
        const customer = customers.find((c) => c.id === invoice.customer);
        document.getElementById('receipt-customer').textContent = customer ? customer.name : '';
        document.getElementById('receipt-total').textContent = faNumber(invoiceTotal(invoice));
    }

    function ltrSpan(text) {
        const span = document.createElement('span');
        span.className = 'ltr';
        span.textContent = text;
        return span;
    }

    function renderInvoices() {
        const list = document.getElementById('invoice-list');
        for (const invoice of invoices) {
            const customer = customers.find((c) => c.id === invoice.customer);
            const item = document.createElement('li');
            const who = document.createElement('div');
            const name = document.createElement('strong');
            name.textContent = customer ? customer.name : invoice.customer;
            const meta = document.createElement('span');
            meta.className = 'muted';
            meta.append('فاکتور ', ltrSpan(faDigits(invoice.number)), ' · ', ltrSpan(faDigits(invoice.date)));
            who.append(name, meta);
            const total = document.createElement('span');
            total.className = 'num invoice-total';
            total.textContent = faNumber(invoiceTotal(invoice)) + ' تومان';
            item.append(who, total);
            list.appendChild(item);
        }
    }

    function bridge() {
        return window.tarnoVeskDesktop;
    }

    function setStatus(text, kind) {
        const status = document.getElementById('status');
        status.textContent = text;
        status.className = 'status' + (kind ? ' status-' + kind : '');
    }

    function showBridge() {
        const b = bridge();
        const badge = document.getElementById('bridge-badge');
        const text = document.getElementById('bridge-text');
        if (b) {
            badge.className = 'badge badge-on';
            text.textContent = 'اجرا در برنامهٔ میز کار';
            document.getElementById('bridge-platform').textContent = String(b.platform);
            document.getElementById('bridge-version').textContent = faDigits(String(b.version));
        } else {
            badge.className = 'badge badge-off';
            text.textContent = 'خارج از برنامهٔ میز کار';
            document.getElementById('bridge-platform').textContent = 'ناموجود';
            document.getElementById('bridge-version').textContent = 'ناموجود';
        }
        for (const btn of document.querySelectorAll('.tools .btn')) btn.disabled = !b;
        if (!b) setStatus('این صفحه بیرون از برنامهٔ میز کار تارنو وسک باز شده است.', 'warn');
    }

    // The desktop program never replies to these calls, so the most we can
    // report is that the request left the page.
    function run(action, sentText) {
        const b = bridge();
        if (!b) {
            setStatus('برنامهٔ میز کار در دسترس نیست.', 'warn');
            return;
        }
        try {
            action(b);
            setStatus(sentText, 'ok');
        } catch (err) {
            setStatus('خطا: ' + (err && err.message ? err.message : String(err)), 'error');
        }
    }

    function wire() {
        document.getElementById('btn-backup-object').addEventListener('click', () => {
            run((b) => b.saveBackup(sampleBackup()), 'پشتیبان ارسال شد.');
        });
        document.getElementById('btn-backup-string').addEventListener('click', () => {
            run((b) => b.saveBackup(JSON.stringify(sampleBackup())), 'پشتیبان (متنی) ارسال شد.');
        });
        document.getElementById('btn-open-folder').addEventListener('click', () => {
            run((b) => b.openBackupsFolder(), 'درخواست باز کردن پوشهٔ پشتیبان‌ها ارسال شد.');
        });
        const input = document.getElementById('server-url');
        const saveUrl = () => {
            const value = input.value.trim();
            if (!value) {
                setStatus('نشانی کارساز را وارد کنید.', 'warn');
                return;
            }
            run((b) => b.setServerUrl(value), 'نشانی کارساز ارسال شد.');
        };
        document.getElementById('btn-server-url').addEventListener('click', saveUrl);
        input.addEventListener('keydown', (e) => {
            if (e.key === 'Enter') saveUrl();
        });
        document.getElementById('btn-print').addEventListener('click', () => {
            run((b) => b.printReceipt(), 'درخواست چاپ رسید ارسال شد.');
        });
    }

    renderStock();
    renderInvoices();
    renderReceipt();
    wire();
    showBridge();
    // Should the bridge arrive only after this script ran, pick it up on load.
    if (!bridge()) {
        window.addEventListener('load', () => {
            if (bridge()) {
                showBridge();
                setStatus('آماده');
            }
        });
    }
})();
