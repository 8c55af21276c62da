-- Central database of the Vantrell central server.
--
-- Load into an empty database created with DEFAULT CHARACTER SET cp1251 on a
-- server initialised with lower_case_table_names=1 (scripts/db.sh load does
-- both). The script names no database: it creates its objects in the current
-- one. It is plain ASCII; the only client-side directive it uses is DELIMITER
-- around the stored procedure.
--
-- Conventions: Booleans are CHAR(1) "T"/"F"; money is DECIMAL(19,4) (the
-- server's Currency type: a 64-bit count of ten-thousandths); date-times are
-- DATETIME and are always written explicitly by the server. Every table the
-- server rolls back is InnoDB. Columns that the server's inserts do not name
-- are nullable or have defaults.

SET NAMES cp1251;

-- ---------------------------------------------------------------------------
-- Pharmacies. Pharmacy 0 stands for the central records.
-- ---------------------------------------------------------------------------
CREATE TABLE pharmacy (
  id                INT NOT NULL,
  name              VARCHAR(255) NULL,
  inet_pass         VARCHAR(255) NULL,
  last_archive_num  INT NULL,
  last_update_date  DATETIME NULL,
  PRIMARY KEY (id)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

-- ---------------------------------------------------------------------------
-- Environment variables (run-time switches); the central ones have PHARM_ID 0.
-- New IDs come from identity generator 6.
-- ---------------------------------------------------------------------------
CREATE TABLE ZVL_ENV_VARS (
  ID         INT NOT NULL,
  VAR_NAME   VARCHAR(255) NOT NULL,
  VAR_VALUE  VARCHAR(2000) NULL,
  PHARM_ID   INT NOT NULL DEFAULT 0,
  PRIMARY KEY (ID),
  KEY ZVL_ENV_VARS_NAME (PHARM_ID, VAR_NAME)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

-- ---------------------------------------------------------------------------
-- Identity generators: generator number -> last value handed out.
-- sp_NextIDValue advances one generator and returns the row
-- (AGENERATOR_ID, AID_VALUE). The value is taken in the same row update that
-- advances it, so concurrent callers never get the same number, inside or
-- outside a transaction, and the connection's last-insert id stays untouched.
-- An unknown generator starts at 1.
-- ---------------------------------------------------------------------------
CREATE TABLE ZVL_GENERATORS (
  GENERATOR_ID  INT NOT NULL,
  ID_VALUE      BIGINT NOT NULL DEFAULT 0,
  PRIMARY KEY (GENERATOR_ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

-- Generator 6 numbers ZVL_ENV_VARS.ID; it starts above the largest ID present.
INSERT INTO ZVL_GENERATORS (GENERATOR_ID, ID_VALUE)
  SELECT 6, COALESCE(MAX(ID), 0) FROM ZVL_ENV_VARS;

DROP PROCEDURE IF EXISTS sp_NextIDValue;
DELIMITER //
CREATE PROCEDURE sp_NextIDValue(IN AGENERATOR_ID INT, IN AID_VALUE BIGINT)
  MODIFIES SQL DATA
BEGIN
  SET @zvl_next_id_value = NULL;
  INSERT INTO ZVL_GENERATORS (GENERATOR_ID, ID_VALUE)
    VALUES (AGENERATOR_ID, (@zvl_next_id_value := 1))
    ON DUPLICATE KEY UPDATE ID_VALUE = (@zvl_next_id_value := ID_VALUE + 1);
  SELECT AGENERATOR_ID AS AGENERATOR_ID, @zvl_next_id_value AS AID_VALUE;
END //
DELIMITER ;

-- ---------------------------------------------------------------------------
-- Action requests: one row per proposal, one status row per pharmacy (id > 0).
-- NOM_ID: 1 article, 2 group, 3 supplier, 4 producer, 5 measure name, 6 SQL pack.
-- ACTION_ID: 1 insert, 2 update, 3 delete.
-- ---------------------------------------------------------------------------
CREATE TABLE ACTION_REQUEST (
  ID             INT NOT NULL AUTO_INCREMENT,
  NOM_ID         INT NOT NULL,
  ACTION_ID      INT NOT NULL,
  ACTION_DATE    DATETIME NOT NULL,
  SYNC_REQUIRED  CHAR(1) NOT NULL DEFAULT 'F',
  IS_PROCESSED   CHAR(1) NOT NULL DEFAULT 'F',
  REMARK         TEXT NULL,
  PHARM_ID       INT NOT NULL DEFAULT 0,
  NOM_KEY        INT NOT NULL DEFAULT 0,
  PROCESS_DATE   DATETIME NULL,
  USER_ID        INT NOT NULL DEFAULT 0,
  DEST_PHARM_ID  INT NULL,
  SYS_CMD        TEXT NULL,
  PRIMARY KEY (ID),
  KEY ACTION_REQUEST_PENDING (IS_PROCESSED, NOM_ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

-- The status rows are written by INSERT ... SELECT without a column list:
-- the column order below is part of the contract.
-- REQUEST_STATUS: 0 new, 1 locked, 2 check passed, 3 check failed,
-- 4 finished after a refusal, 5 finished.
CREATE TABLE action_request_status (
  ACTION_REQUEST_ID  INT NOT NULL,
  PHARM_ID           INT NOT NULL,
  REQUEST_STATUS     INT NOT NULL DEFAULT 0,
  MODIFY_DATE        DATETIME NOT NULL,
  PRIMARY KEY (ACTION_REQUEST_ID, PHARM_ID),
  KEY ACTION_REQUEST_STATUS_PHARM (PHARM_ID, ACTION_REQUEST_ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

-- Payments announced by "PAY:" system commands; a pharmacy's confirmation
-- fills LOCAL_ID of every row of its request.
CREATE TABLE PAYMENT_CENTRAL (
  ID                 INT NOT NULL AUTO_INCREMENT,
  ACTION_REQUEST_ID  INT NOT NULL,
  LOCAL_ID           INT NULL,
  PRIMARY KEY (ID),
  KEY PAYMENT_CENTRAL_REQUEST (ACTION_REQUEST_ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

-- ---------------------------------------------------------------------------
-- Catalogue: producers (NOM_ID 4).
-- ---------------------------------------------------------------------------
CREATE TABLE PRODUCER (
  ID                 INT NOT NULL AUTO_INCREMENT,
  NAME               VARCHAR(100) NOT NULL DEFAULT '',
  ADDRESS            VARCHAR(200) NULL,
  TEL                VARCHAR(20) NULL,
  EMAIL              VARCHAR(50) NULL,
  IS_ACTIVE          CHAR(1) NOT NULL DEFAULT 'T',
  TAX_NO             VARCHAR(10) NULL,
  BULSTAT            VARCHAR(10) NULL,
  BANK_NAME          VARCHAR(100) NULL,
  BANK_ACCOUNT       VARCHAR(100) NULL,
  BANK_CODE          VARCHAR(8) NULL,
  IBAN_BANK_CODE     VARCHAR(8) NULL,
  IBAN_BANK_ACCOUNT  VARCHAR(22) NULL,
  IBAN_VAT_ACCOUNT   VARCHAR(22) NULL,
  VAT_ID             VARCHAR(20) NULL,
  PRIMARY KEY (ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

CREATE TABLE NOM_UPDATE_PRODUCER (
  ACTION_REQUEST_ID  INT NOT NULL,
  ID                 INT NOT NULL DEFAULT 0,
  NAME               VARCHAR(100) NOT NULL DEFAULT '',
  IS_ACTIVE          CHAR(1) NOT NULL DEFAULT 'T',
  ADDRESS            VARCHAR(200) NULL,
  TEL                VARCHAR(20) NULL,
  EMAIL              VARCHAR(50) NULL,
  TAX_NO             VARCHAR(10) NULL,
  BULSTAT            VARCHAR(10) NULL,
  BANK_NAME          VARCHAR(100) NULL,
  BANK_ACCOUNT       VARCHAR(100) NULL,
  BANK_CODE          VARCHAR(8) NULL,
  IBAN_BANK_CODE     VARCHAR(8) NULL,
  IBAN_BANK_ACCOUNT  VARCHAR(22) NULL,
  IBAN_VAT_ACCOUNT   VARCHAR(22) NULL,
  VAT_ID             VARCHAR(20) NULL,
  KEY NOM_UPDATE_PRODUCER_REQUEST (ACTION_REQUEST_ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

-- ---------------------------------------------------------------------------
-- Catalogue: article groups (NOM_ID 2).
-- ---------------------------------------------------------------------------
CREATE TABLE ARTICLE_GROUP (
  ID                     INT NOT NULL AUTO_INCREMENT,
  NAME                   VARCHAR(255) NOT NULL DEFAULT '',
  MAX_OVERRATE           DECIMAL(19,4) NOT NULL DEFAULT 0,
  DEFAULT_DISCOUNT       DECIMAL(19,4) NOT NULL DEFAULT 0,
  DEFAULT_NZOK_DISCOUNT  DECIMAL(19,4) NOT NULL DEFAULT 0,
  TICKET_GROUP           INT NOT NULL DEFAULT 1,
  CUSTOM_CARDS_DISCOUNT  DECIMAL(19,4) NOT NULL DEFAULT 0,
  PRIMARY KEY (ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

CREATE TABLE NOM_UPDATE_ARTICLE_GROUP (
  ACTION_REQUEST_ID      INT NOT NULL,
  ID                     INT NOT NULL DEFAULT 0,
  NAME                   VARCHAR(255) NOT NULL DEFAULT '',
  MAX_OVERRATE           DECIMAL(19,4) NOT NULL DEFAULT 0,
  DEFAULT_DISCOUNT       DECIMAL(19,4) NOT NULL DEFAULT 0,
  DEFAULT_NZOK_DISCOUNT  DECIMAL(19,4) NOT NULL DEFAULT 0,
  TICKET_GROUP           INT NOT NULL DEFAULT 1,
  CUSTOM_CARDS_DISCOUNT  DECIMAL(19,4) NOT NULL DEFAULT 0,
  KEY NOM_UPDATE_ARTICLE_GROUP_REQUEST (ACTION_REQUEST_ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

-- ---------------------------------------------------------------------------
-- Catalogue: suppliers (NOM_ID 3).
-- ---------------------------------------------------------------------------
CREATE TABLE SUPPLIER (
  ID                 INT NOT NULL AUTO_INCREMENT,
  STICKER            VARCHAR(2) NOT NULL DEFAULT '',
  NAME               VARCHAR(100) NOT NULL DEFAULT '',
  DISCOUNT_METHOD    INT NOT NULL DEFAULT 0,
  ADDRESS            VARCHAR(255) NULL,
  TEL                VARCHAR(20) NULL,
  IS_TAX_REGISTERED  CHAR(1) NOT NULL DEFAULT 'F',
  TAX_NO             VARCHAR(10) NULL,
  BULSTAT            VARCHAR(10) NULL,
  BANK_NAME          VARCHAR(255) NULL,
  BANK_ACCOUNT       VARCHAR(255) NULL,
  BRANCH_NO          VARCHAR(255) NULL,
  BANK_ADDRESS       VARCHAR(255) NULL,
  BANK_CODE          VARCHAR(255) NULL,
  PHARMACY_CODE      INT NOT NULL DEFAULT -1,
  IBAN_BANK_CODE     VARCHAR(255) NULL,
  IBAN_VAT_ACCOUNT   VARCHAR(255) NULL,
  IBAN_BANK_ACCOUNT  VARCHAR(255) NULL,
  VAT_ID             VARCHAR(255) NULL,
  EMAIL              VARCHAR(50) NULL,
  IS_NZOK_SUPPLIER   CHAR(1) NOT NULL DEFAULT 'F',
  PRIMARY KEY (ID),
  KEY SUPPLIER_STICKER (STICKER)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

CREATE TABLE NOM_UPDATE_SUPPLIER (
  ACTION_REQUEST_ID  INT NOT NULL,
  ID                 INT NOT NULL DEFAULT 0,
  STICKER            VARCHAR(2) NOT NULL DEFAULT '',
  NAME               VARCHAR(100) NOT NULL DEFAULT '',
  DISCOUNT_METHOD    INT NOT NULL DEFAULT 0,
  ADDRESS            VARCHAR(255) NULL,
  TEL                VARCHAR(20) NULL,
  EMAIL              VARCHAR(50) NULL,
  IS_TAX_REGISTERED  CHAR(1) NOT NULL DEFAULT 'F',
  TAX_NO             VARCHAR(10) NULL,
  BULSTAT            VARCHAR(10) NULL,
  BANK_NAME          VARCHAR(255) NULL,
  BANK_ACCOUNT       VARCHAR(255) NULL,
  BRANCH_NO          VARCHAR(255) NULL,
  BANK_ADDRESS       VARCHAR(255) NULL,
  BANK_CODE          VARCHAR(255) NULL,
  PHARMACY_CODE      INT NOT NULL DEFAULT -1,
  IBAN_BANK_CODE     VARCHAR(255) NULL,
  IBAN_BANK_ACCOUNT  VARCHAR(255) NULL,
  IBAN_VAT_ACCOUNT   VARCHAR(255) NULL,
  VAT_ID             VARCHAR(255) NULL,
  IS_NZOK_SUPPLIER   CHAR(1) NOT NULL DEFAULT 'F',
  KEY NOM_UPDATE_SUPPLIER_REQUEST (ACTION_REQUEST_ID),
  KEY NOM_UPDATE_SUPPLIER_STICKER (STICKER)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

-- ---------------------------------------------------------------------------
-- Catalogue: measure names (NOM_ID 5).
-- ---------------------------------------------------------------------------
CREATE TABLE MEASURE_NAME (
  ID          INT NOT NULL AUTO_INCREMENT,
  NAME        VARCHAR(50) NOT NULL DEFAULT '',
  SHORT_NAME  VARCHAR(50) NOT NULL DEFAULT '',
  PRIMARY KEY (ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

CREATE TABLE NOM_UPDATE_MEASURE_NAME (
  ACTION_REQUEST_ID  INT NOT NULL,
  ID                 INT NOT NULL DEFAULT 0,
  NAME               VARCHAR(50) NOT NULL DEFAULT '',
  SHORT_NAME         VARCHAR(50) NOT NULL DEFAULT '',
  KEY NOM_UPDATE_MEASURE_NAME_REQUEST (ACTION_REQUEST_ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

-- ---------------------------------------------------------------------------
-- Shelves. A shelf that does not exist centrally (PHARM_ID 0) is replaced by
-- shelf 1, so the central row (1, 0) must always exist.
-- ---------------------------------------------------------------------------
CREATE TABLE SHELF (
  ID        INT NOT NULL,
  PHARM_ID  INT NOT NULL DEFAULT 0,
  PRIMARY KEY (ID, PHARM_ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

INSERT INTO SHELF (ID, PHARM_ID) VALUES (1, 0);

-- ---------------------------------------------------------------------------
-- Catalogue: articles (NOM_ID 1) with their NZOK part, info, measures and
-- substitutes.
-- ---------------------------------------------------------------------------
CREATE TABLE ARTICLE (
  ID                         INT NOT NULL AUTO_INCREMENT,
  GROUP_ID                   INT NOT NULL DEFAULT 0,
  PRODUCER_ID                INT NOT NULL DEFAULT 0,
  SALE_DEFAULT_MEASURE_ID    INT NOT NULL DEFAULT 0,
  NAME                       VARCHAR(255) NOT NULL DEFAULT '',
  CYR_NAME                   VARCHAR(255) NOT NULL DEFAULT '',
  GENERICA                   VARCHAR(255) NULL,
  ATC_CODE                   VARCHAR(50) NULL,
  ACTIVE_QUANTITY            VARCHAR(255) NULL,
  DESCRIPTION                TEXT NULL,
  VAT                        DOUBLE NOT NULL DEFAULT 20,
  MAX_OVERRATE               DOUBLE NOT NULL DEFAULT 0,
  BASE_PRICE                 DOUBLE NOT NULL DEFAULT 0,
  MIN_RESERVE                INT NOT NULL DEFAULT 1,
  MAX_RESERVE                INT NOT NULL DEFAULT 1,
  MIN_RESERVE_MEASURE_ID     INT NOT NULL DEFAULT 0,
  IS_DRUG                    CHAR(1) NOT NULL DEFAULT 'F',
  DRUG_TYPE_ID               INT NULL,
  IS_MINISTRY_PRICE          CHAR(1) NOT NULL DEFAULT 'F',
  IS_INVENTORISED            CHAR(1) NOT NULL DEFAULT 'F',
  BARCODE1                   VARCHAR(50) NULL,
  BARCODE2                   VARCHAR(50) NULL,
  PRINT_BARCODE              CHAR(1) NOT NULL DEFAULT 'F',
  SHELF_ID                   INT NOT NULL DEFAULT 1,
  AUTO_DELIVERY_MEASURE_ID   INT NOT NULL DEFAULT 0,
  IS_SALABLE                 CHAR(1) NOT NULL DEFAULT 'T',
  DEFAULT_DISCOUNT           DOUBLE NOT NULL DEFAULT 0,
  WITH_PRESCRIPTION_ONLY     CHAR(1) NOT NULL DEFAULT 'F',
  DEFAULT_DIRECT_SALE_PRICE  DECIMAL(19,4) NOT NULL DEFAULT 0,
  DEFAULT_NZOK_SALE_PRICE    DECIMAL(19,4) NOT NULL DEFAULT 0,
  IS_MEDICINE                CHAR(1) NOT NULL DEFAULT 'F',
  DIRECT_SALE_MAX_PRICE      DOUBLE NOT NULL DEFAULT 0,
  PRIMARY KEY (ID),
  KEY ARTICLE_BARCODE1 (BARCODE1),
  KEY ARTICLE_BARCODE2 (BARCODE2),
  KEY ARTICLE_PRODUCER (PRODUCER_ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

-- The NZOK part shares the article's ID (no auto-increment).
CREATE TABLE ARTICLE_NZOK (
  ID                           INT NOT NULL,
  PRESCRIPTION_TYPE_ID         INT NOT NULL DEFAULT 1,
  NZOK_CODE                    VARCHAR(50) NOT NULL DEFAULT '',
  NZOK_GROUP                   INT NOT NULL DEFAULT 0,
  QUANTITY_PER_PACK            INT NOT NULL DEFAULT 1,
  MAX_PRICE                    DOUBLE NOT NULL DEFAULT 0,
  REINBURSEMENT                DOUBLE NOT NULL DEFAULT 0,
  MAX_PRICE_OLD                DOUBLE NOT NULL DEFAULT 0,
  REINBURSEMENT_OLD            DOUBLE NOT NULL DEFAULT 0,
  MIN_RESERVE_NZOK             INT NOT NULL DEFAULT 1,
  MAX_RESERVE_NZOK             INT NOT NULL DEFAULT 1,
  MIN_RESERVE_NZOK_MEASURE_ID  INT NOT NULL DEFAULT 0,
  IS_FREE                      CHAR(1) NOT NULL DEFAULT 'F',
  HAS_STICKER                  CHAR(1) NOT NULL DEFAULT 'T',
  IS_DIVISIBLE                 CHAR(1) NOT NULL DEFAULT 'F',
  DAY_DOSE_ALLOWED             DECIMAL(19,4) NOT NULL DEFAULT 0,
  IS_ACTIVE                    CHAR(1) NOT NULL DEFAULT 'T',
  NZOK_SHELF_ID                INT NOT NULL DEFAULT 1,
  IS_STANDALONE                CHAR(1) NOT NULL DEFAULT 'F',
  IS_CONTROLLED_DOSE           CHAR(1) NOT NULL DEFAULT 'F',
  MIN_AGE                      DOUBLE NOT NULL DEFAULT 0,
  MAX_AGE                      DOUBLE NOT NULL DEFAULT 0,
  DEFAULT_DISCOUNT_NZOK        DOUBLE NOT NULL DEFAULT 0,
  PRESCRIPTION_PERIOD          INT NOT NULL DEFAULT 0,
  PRODUCT_GROUP_ID             INT NOT NULL DEFAULT 1,
  MEDICAL_ARTICLE_TYPE_ID      INT NOT NULL DEFAULT 0,
  IS_FULLY_PAID                CHAR(1) NOT NULL DEFAULT 'F',
  PRIMARY KEY (ID),
  KEY ARTICLE_NZOK_CODE (NZOK_CODE)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

CREATE TABLE ARTICLE_INFO (
  ID                     INT NOT NULL,
  ADDITIONAL_INFO        TEXT NULL,
  SHOW_INFO_DIRECT_SALE  CHAR(1) NOT NULL DEFAULT 'F',
  SHOW_INFO_SALE_NZOK    CHAR(1) NOT NULL DEFAULT 'F',
  PRIMARY KEY (ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

-- Staged article proposals (one row per request).
CREATE TABLE NOM_UPDATE_ARTICLE (
  ACTION_REQUEST_ID              INT NOT NULL,
  ID                             INT NOT NULL DEFAULT 0,
  GROUP_ID                       INT NOT NULL DEFAULT 0,
  PRODUCER_ID                    INT NOT NULL DEFAULT 0,
  SALE_DEFAULT_MEASURE_ID        INT NOT NULL DEFAULT 0,
  NAME                           VARCHAR(255) NOT NULL DEFAULT '',
  CYR_NAME                       VARCHAR(255) NOT NULL DEFAULT '',
  GENERICA                       VARCHAR(255) NULL,
  ATC_CODE                       VARCHAR(50) NULL,
  ACTIVE_QUANTITY                VARCHAR(255) NULL,
  DESCRIPTION                    TEXT NULL,
  VAT                            DOUBLE NOT NULL DEFAULT 20,
  MAX_OVERRATE                   DOUBLE NOT NULL DEFAULT 0,
  BASE_PRICE                     DOUBLE NOT NULL DEFAULT 0,
  MIN_RESERVE                    INT NOT NULL DEFAULT 1,
  MIN_RESERVE_MEASURE_ID         INT NOT NULL DEFAULT 0,
  MAX_RESERVE                    INT NOT NULL DEFAULT 1,
  IS_DRUG                        CHAR(1) NOT NULL DEFAULT 'F',
  DRUG_TYPE_ID                   INT NULL,
  IS_MINISTRY_PRICE              CHAR(1) NOT NULL DEFAULT 'F',
  IS_INVENTORISED                CHAR(1) NOT NULL DEFAULT 'F',
  BARCODE1                       VARCHAR(50) NULL,
  BARCODE2                       VARCHAR(50) NULL,
  PRINT_BARCODE                  CHAR(1) NOT NULL DEFAULT 'F',
  SHELF_ID                       INT NOT NULL DEFAULT 1,
  QUANTITY_LEFT_DIRECT_SALE      DECIMAL(19,4) NULL,
  LAST_DELIVERY_ITEM_SALE_PRICE  DECIMAL(19,4) NULL,
  AUTO_DELIVERY_MEASURE_ID       INT NOT NULL DEFAULT 0,
  DEFAULT_DISCOUNT               DOUBLE NOT NULL DEFAULT 0,
  DIRECT_SALE_MARGE              DOUBLE NULL,
  IS_SALABLE                     CHAR(1) NOT NULL DEFAULT 'T',
  WITH_PRESCRIPTION_ONLY         CHAR(1) NOT NULL DEFAULT 'F',
  DEFAULT_DIRECT_SALE_PRICE      DECIMAL(19,4) NOT NULL DEFAULT 0,
  DEFAULT_NZOK_SALE_PRICE        DECIMAL(19,4) NOT NULL DEFAULT 0,
  IS_MEDICINE                    CHAR(1) NOT NULL DEFAULT 'F',
  DIRECT_SALE_MAX_PRICE          DOUBLE NOT NULL DEFAULT 0,
  KEY NOM_UPDATE_ARTICLE_REQUEST (ACTION_REQUEST_ID),
  KEY NOM_UPDATE_ARTICLE_ID (ID),
  KEY NOM_UPDATE_ARTICLE_BARCODE1 (BARCODE1),
  KEY NOM_UPDATE_ARTICLE_BARCODE2 (BARCODE2)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

-- Staged NZOK part (at most one row per request). A NULL NZOK_CODE means the
-- proposal has no NZOK part.
CREATE TABLE NOM_UPDATE_ARTICLE_NZOK (
  ACTION_REQUEST_ID            INT NOT NULL,
  ID                           INT NOT NULL DEFAULT 0,
  PRESCRIPTION_TYPE_ID         INT NOT NULL DEFAULT 1,
  NZOK_CODE                    VARCHAR(50) NULL,
  NZOK_GROUP                   INT NOT NULL DEFAULT 0,
  QUANTITY_PER_PACK            INT NOT NULL DEFAULT 1,
  MAX_PRICE                    DOUBLE NOT NULL DEFAULT 0,
  REINBURSEMENT                DOUBLE NOT NULL DEFAULT 0,
  MAX_PRICE_OLD                DOUBLE NOT NULL DEFAULT 0,
  REINBURSEMENT_OLD            DOUBLE NOT NULL DEFAULT 0,
  MIN_RESERVE_NZOK             INT NOT NULL DEFAULT 1,
  MIN_RESERVE_NZOK_MEASURE_ID  INT NOT NULL DEFAULT 0,
  MAX_RESERVE_NZOK             INT NOT NULL DEFAULT 1,
  IS_FREE                      CHAR(1) NOT NULL DEFAULT 'F',
  HAS_STICKER                  CHAR(1) NOT NULL DEFAULT 'T',
  IS_DIVISIBLE                 CHAR(1) NOT NULL DEFAULT 'F',
  DAY_DOSE_ALLOWED             DECIMAL(19,4) NOT NULL DEFAULT 0,
  IS_ACTIVE                    CHAR(1) NOT NULL DEFAULT 'T',
  NZOK_SHELF_ID                INT NOT NULL DEFAULT 1,
  IS_STANDALONE                CHAR(1) NOT NULL DEFAULT 'F',
  IS_CONTROLLED_DOSE           CHAR(1) NOT NULL DEFAULT 'F',
  MIN_AGE                      DOUBLE NOT NULL DEFAULT 0,
  MAX_AGE                      DOUBLE NOT NULL DEFAULT 0,
  QUANTITY_LEFT_SALE_NZOK      DECIMAL(19,4) NULL,
  DEFAULT_DISCOUNT_NZOK        DOUBLE NOT NULL DEFAULT 0,
  PRESCRIPTION_PERIOD          INT NOT NULL DEFAULT 0,
  PRODUCT_GROUP_ID             INT NOT NULL DEFAULT 1,
  MEDICAL_ARTICLE_TYPE_ID      INT NOT NULL DEFAULT 0,
  IS_FULLY_PAID                CHAR(1) NOT NULL DEFAULT 'F',
  KEY NOM_UPDATE_ARTICLE_NZOK_REQUEST (ACTION_REQUEST_ID),
  KEY NOM_UPDATE_ARTICLE_NZOK_CODE (NZOK_CODE)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

-- Read with the staged article; nothing writes it yet, but it must exist.
CREATE TABLE nom_update_article_info (
  ACTION_REQUEST_ID      INT NOT NULL,
  ADDITIONAL_INFO        TEXT NULL,
  SHOW_INFO_DIRECT_SALE  CHAR(1) NOT NULL DEFAULT 'F',
  SHOW_INFO_SALE_NZOK    CHAR(1) NOT NULL DEFAULT 'F',
  KEY NOM_UPDATE_ARTICLE_INFO_REQUEST (ACTION_REQUEST_ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

-- Measures of articles. ARTICLE_ID is 0 for the temporary rows made while a
-- proposal is staged, so it carries no foreign key.
CREATE TABLE MEASURE (
  ID               INT NOT NULL AUTO_INCREMENT,
  ARTICLE_ID       INT NOT NULL DEFAULT 0,
  MEASURE_NAME_ID  INT NOT NULL DEFAULT 0,
  FACTOR           INT NOT NULL DEFAULT 1,
  IS_ATOMIC        CHAR(1) NOT NULL DEFAULT 'F',
  PRIMARY KEY (ID),
  KEY MEASURE_ARTICLE (ARTICLE_ID, MEASURE_NAME_ID),
  KEY MEASURE_NAME_REF (MEASURE_NAME_ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

-- Staged measures: several rows per request; new measures all carry ID 0 or
-- a negative ID, so (ACTION_REQUEST_ID, ID) is not unique.
CREATE TABLE NOM_UPDATE_MEASURE (
  ACTION_REQUEST_ID  INT NOT NULL,
  ID                 INT NOT NULL DEFAULT 0,
  ARTICLE_ID         INT NOT NULL DEFAULT 0,
  MEASURE_NAME_ID    INT NOT NULL DEFAULT 0,
  FACTOR             INT NOT NULL DEFAULT 1,
  IS_ATOMIC          CHAR(1) NOT NULL DEFAULT 'F',
  TEMP_ID            INT NOT NULL DEFAULT 0,
  KEY NOM_UPDATE_MEASURE_REQUEST (ACTION_REQUEST_ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

-- Substitute links. Inserting ID 0 draws a new identity.
CREATE TABLE SUBSTITUDE_ARTICLE (
  ID                     INT NOT NULL AUTO_INCREMENT,
  ARTICLE_ID             INT NOT NULL DEFAULT 0,
  SUBSTITUDE_ARTICLE_ID  INT NOT NULL DEFAULT 0,
  PRIMARY KEY (ID),
  KEY SUBSTITUDE_ARTICLE_ARTICLE (ARTICLE_ID),
  KEY SUBSTITUDE_ARTICLE_SUBST (SUBSTITUDE_ARTICLE_ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

CREATE TABLE NOM_UPDATE_SUBSTITUDE_ARTICLE (
  ACTION_REQUEST_ID      INT NOT NULL,
  ID                     INT NOT NULL DEFAULT 0,
  ARTICLE_ID             INT NOT NULL DEFAULT 0,
  SUBSTITUDE_ARTICLE_ID  INT NOT NULL DEFAULT 0,
  KEY NOM_UPDATE_SUBSTITUDE_ARTICLE_REQUEST (ACTION_REQUEST_ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

-- ---------------------------------------------------------------------------
-- Per-pharmacy tables that reference articles; the article delete empties
-- them for the article. PHARM_ID comes last, as in every replicated table.
-- ---------------------------------------------------------------------------
CREATE TABLE DENIAL (
  ID          INT NOT NULL,
  ARTICLE_ID  INT NOT NULL DEFAULT 0,
  PHARM_ID    INT NOT NULL DEFAULT 0,
  PRIMARY KEY (ID, PHARM_ID),
  KEY DENIAL_ARTICLE (ARTICLE_ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

CREATE TABLE SUPPLIER_CODE (
  ID          INT NOT NULL,
  ARTICLE_ID  INT NOT NULL DEFAULT 0,
  PHARM_ID    INT NOT NULL DEFAULT 0,
  PRIMARY KEY (ID, PHARM_ID),
  KEY SUPPLIER_CODE_ARTICLE (ARTICLE_ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

CREATE TABLE INVENTORY_CHECK (
  ID          INT NOT NULL,
  ARTICLE_ID  INT NOT NULL DEFAULT 0,
  PHARM_ID    INT NOT NULL DEFAULT 0,
  PRIMARY KEY (ID, PHARM_ID),
  KEY INVENTORY_CHECK_ARTICLE (ARTICLE_ID)
) ENGINE=InnoDB DEFAULT CHARSET=cp1251;

-- The installer creates the per-pharmacy staging tables (REPL_TABLES_<id>,
-- REPL_ITEMS_<id>, <table>_<id>) and the replicated central tables itself.
