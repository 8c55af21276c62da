-- A small seed for a local run: a few pharmacies with their passwords, the
-- central pseudo-pharmacy 0 (no password, so it can never log in) and the
-- central environment variables. UTF-8 text; scripts/db.sh loads it with a
-- UTF-8 client character set and the server stores it as cp1251.

INSERT INTO pharmacy (id, name, inet_pass, last_archive_num, last_update_date) VALUES
  (0, 'Централен склад', NULL, NULL, NULL),
  (1, 'Аптека Витоша', 'vitosha-1', 0, NULL),
  (2, 'Аптека Марица', 'maritsa-2', 0, NULL),
  (3, 'Аптека Дунав', 'dunav-3', NULL, NULL);

INSERT INTO ZVL_ENV_VARS (ID, VAR_NAME, VAR_VALUE, PHARM_ID) VALUES
  (1, 'NomSyncServerPaused', 'F', 0);

-- Generator 6 numbers ZVL_ENV_VARS: keep it above every ID present.
UPDATE ZVL_GENERATORS
   SET ID_VALUE = GREATEST(ID_VALUE, (SELECT COALESCE(MAX(ID), 0) FROM ZVL_ENV_VARS))
 WHERE GENERATOR_ID = 6;
