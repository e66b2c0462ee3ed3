"""The account a run trades in (`account`) and the ledger of its fills (`ledger`)."""
