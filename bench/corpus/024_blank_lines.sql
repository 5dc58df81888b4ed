SELECT

  a.account_id,

  a.opened_at

FROM bank.accounts a
