-- Real work for the allocator comparison in SQLite: generated tables,
-- indexes, joins, grouping and sorting. :rows is replaced by the script.
CREATE TABLE customer(id INTEGER PRIMARY KEY, name TEXT, region INTEGER);
CREATE TABLE orders(id INTEGER PRIMARY KEY, customer INTEGER, amount REAL, note TEXT);
WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < :rows / 10)
INSERT INTO customer SELECT x, 'customer-' || (x * 7919 % 100003), x % 17 FROM n;
WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < :rows)
INSERT INTO orders SELECT x, 1 + (x * 31337) % (:rows / 10), (x * 2654435761 % 100000) / 100.0,
                          printf('%08x-%s', x * 40503, substr('abcdefghijklmnopqrstuvwxyz', 1 + x % 26))
FROM n;
CREATE INDEX orders_by_customer ON orders(customer);
CREATE INDEX customer_by_name ON customer(name);
SELECT count(*), round(sum(amount), 2) FROM orders;
SELECT c.region, count(*), round(avg(o.amount), 4), max(o.note)
  FROM orders o JOIN customer c ON c.id = o.customer GROUP BY c.region ORDER BY c.region;
SELECT name, total FROM (SELECT c.name AS name, round(sum(o.amount), 2) AS total
  FROM customer c JOIN orders o ON o.customer = c.id GROUP BY c.id)
  ORDER BY total DESC, name LIMIT 5;
SELECT group_concat(note, ',') FROM (SELECT note FROM orders ORDER BY note DESC LIMIT 20);
UPDATE orders SET note = upper(note) WHERE id % 3 = 0;
DELETE FROM orders WHERE amount < 100;
VACUUM;
SELECT count(*), count(DISTINCT customer), min(note), max(note) FROM orders;
