"""Wire format of vantrel: codes (:mod:`.protocol`), packets (:mod:`.codec`), errors (:mod:`.errors`)."""
